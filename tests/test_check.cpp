// The integrity check finds each kind of damage on copies of real partitions and accepts the
// states running pools leave (the lagging lock-free tail, buffers of processes that are gone).
#include "ipc_test.h"

#include "check.h"
#include "env/pxr_internal.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using pxrtool::PartitionCheck;

class CheckTest : public pxrtest::IpcTest {};

// A private copy of partition p, so that a test can damage it freely.
struct Copy {
    PartitionHeader header;
    std::vector<uint8_t> array;
    SysMsg *slot(uint32_t i) {
        return reinterpret_cast<SysMsg *>(array.data() + std::size_t(i) * header.stride);
    }
    PartitionCheck check(int p, bool atomic) {
        return pxrtool::check_partition(p, &header, array.data(), array.size(), atomic);
    }
};

Copy copy_of(int p) {
    Copy c;
    std::memcpy(&c.header, partition_hdr[p], sizeof c.header);
    const std::size_t bytes = std::size_t(c.header.num_msgs) * c.header.stride;
    c.array.assign(partition_msgarray[p], partition_msgarray[p] + bytes);
    return c;
}

bool mentions(const PartitionCheck &r, const char *text) {
    for (const std::string &s : r.problems)
        if (s.find(text) != std::string::npos) return true;
    return false;
}

TEST_F(CheckTest, AccountsForHeldBuffersInBothForms) {
    for (uint32_t flags : {0u, uint32_t(PXR_INIT_ATOMIC)}) {
        pxrtest::remove_environment_objects();
        pxrtest::EnvSpec layout;
        layout.init_flags = flags;
        layout.buffers0 = 8;
        layout.buffers1 = 4;
        ASSERT_TRUE(pxrtest::create_running_environment(layout));
        const bool atomic = flags != 0;
        // A fresh lock-free list starts with its tail one behind: that is not damage.
        EXPECT_TRUE(copy_of(0).check(0, atomic).consistent());

        MSG *a = getm(1, 0, 0, 8), *b = getm(1, 0, 0, 8), *c = getm(1, 0, 0, 200);
        ASSERT_TRUE(a && b && c);
        pxrtool::EnvironmentCheck env;
        EXPECT_EQ(pxrtool::check_environment(env), 0);
        EXPECT_EQ(env.atomic, atomic);
        const PartitionCheck &p0 = env.partitions[0];
        EXPECT_TRUE(p0.allocated == 2 && p0.on_free_list == 6);
        ASSERT_EQ(p0.allocators.size(), 1u);
        EXPECT_TRUE(p0.allocators[0].pid == getpid() && p0.allocators[0].alive);
        EXPECT_EQ(env.partitions[1].allocated, 1u);
        relm(a), relm(b), relm(c);
        EXPECT_EQ(pxrtool::check_environment(env), 0);
        EXPECT_EQ(env.partitions[0].allocated, 0u);
        PXR_unlink(); // the next round removes the objects
    }
}

TEST_F(CheckTest, FindsDamageOfTheLockedList) {
    pxrtest::EnvSpec layout;
    layout.buffers0 = 6;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    MSG *held = getm(1, 0, 0, 8); // slot 0; the list is 1 -> 2 -> 3 -> 4 -> 5
    ASSERT_NE(held, nullptr);
    ASSERT_TRUE(copy_of(0).check(0, false).consistent());

    Copy c = copy_of(0);
    c.slot(5)->next = 2; // cycle
    PartitionCheck r = c.check(0, false);
    EXPECT_TRUE(r.cycle);
    EXPECT_FALSE(r.consistent());

    c = copy_of(0);
    c.slot(3)->next = 40; // beyond num_msgs: the walk stops, slots 4 and 5 are lost
    r = c.check(0, false);
    EXPECT_EQ(r.bad_links, 1u);
    EXPECT_EQ(r.in_neither, 2u);

    c = copy_of(0);
    c.slot(2)->allocated = 1; // on the list and allocated
    r = c.check(0, false);
    EXPECT_EQ(r.in_both, 1u);
    EXPECT_FALSE(r.consistent());

    c = copy_of(0);
    c.header.alloc_count = 2;
    EXPECT_TRUE(mentions(c.check(0, false), "alloc_count is 2 but 1"));

    c = copy_of(0);
    c.header.free_tail = 4; // the list ends at 5
    EXPECT_TRUE(mentions(c.check(0, false), "free_tail"));

    c = copy_of(0);
    c.slot(1)->front_guard = 0;
    *pxr::rear_guard_of(c.slot(4), c.header.stride) = 0x12345678;
    EXPECT_EQ(c.check(0, false).damaged_guards, 2u);

    // A damaged geometry stops the check before it reads any slot.
    c = copy_of(0);
    c.header.num_msgs = 70000;
    EXPECT_FALSE(c.check(0, false).consistent());
    c = copy_of(0);
    c.header.stride += 4;
    EXPECT_TRUE(mentions(c.check(0, false), "stride"));
    c = copy_of(0);
    c.array.resize(c.array.size() - 1);
    EXPECT_TRUE(mentions(c.check(0, false), "do not fit"));
    relm(held);
}

TEST_F(CheckTest, FindsDamageOfTheLockFreeList) {
    pxrtest::EnvSpec layout;
    layout.init_flags = PXR_INIT_ATOMIC;
    layout.buffers0 = 5;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    MSG *m = getm(1, 0, 0, 8);
    ASSERT_NE(m, nullptr);
    relm(m); // slot 0 returns with tag 1, the tail moves to it
    m = getm(1, 0, 0, 8);
    ASSERT_TRUE(copy_of(0).check(0, true).consistent());

    // A release killed between marking the buffer free and linking it: in neither place.
    Copy c = copy_of(0);
    c.slot(pxr::slot_of(m)->index)->allocated = 0;
    c.header.alloc_count = 0;
    PartitionCheck r = c.check(0, true);
    EXPECT_EQ(r.in_neither, 1u);
    EXPECT_FALSE(r.consistent());

    c = copy_of(0);
    c.header.free_head = (c.header.free_head & 0xFFFFu) | 0x00070000u; // wrong tag
    EXPECT_TRUE(mentions(c.check(0, true), "stale tag"));

    c = copy_of(0);
    c.header.free_tail = c.header.free_head; // two or more behind the end
    EXPECT_TRUE(mentions(c.check(0, true), "free_tail"));
    relm(m);
}

TEST_F(CheckTest, BuffersOfAProcessThatIsGoneAreReportedAsSuch) {
    pxrtest::EnvSpec layout;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    pid_t child = pxrtest::start_child([] {
        PXR_unlink();
        return getm(1, 0, 0, 8) != nullptr && getm(1, 0, 0, 8) != nullptr ? 0 : 1;
    });
    ASSERT_EQ(pxrtest::wait_child(child), 0);
    pxrtool::EnvironmentCheck env;
    EXPECT_EQ(pxrtool::check_environment(env), 0); // held, not lost
    ASSERT_EQ(env.partitions[0].allocators.size(), 1u);
    const pxrtool::PidCount &a = env.partitions[0].allocators[0];
    EXPECT_TRUE(a.pid == child && a.buffers == 2 && !a.alive);
}

#ifdef PXR_TOOL_PATH
int run_tool(const char *args) {
    std::string cmd = std::string(PXR_TOOL_PATH) + " " + args + " >/dev/null 2>&1";
    int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(CheckTest, CommandExitStatusFollowsTheCheck) {
    EXPECT_EQ(run_tool("check"), 2); // no environment
    pxrtest::EnvSpec layout;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    EXPECT_EQ(run_tool("check"), 0);
    partition_hdr[0]->alloc_count = 3;
    EXPECT_EQ(run_tool("check"), 1);
    partition_hdr[0]->alloc_count = 0;
}
#endif

} // namespace
