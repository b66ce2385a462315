// The integrity check finds each kind of damage on copies of real partitions and accepts the
// states running pools leave (the lagging lock-free tail, buffers of processes that are gone,
// traffic during the walk).
#include "ipc_test.h"

#include "check.h"

#include <chrono>

namespace {

using namespace pxrtest;

using pxrtool::PartitionCheck;

class CheckTest : public IpcTest {};

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

TEST_F(CheckTest, FindsDamageOfTheLockedList) {
    ASSERT_TRUE(create_running_environment({.buffers0 = 6}));
    MSG *held = getm(1, 0, 0, 8); // slot 0; the list is 1 -> 2 -> 3 -> 4 -> 5
    ASSERT_NE(held, nullptr);
    ASSERT_TRUE(copy_of(0).check(0, false).consistent());
    const struct {
        const char *what;
        std::function<void(Copy &)> damage;
        std::function<bool(const PartitionCheck &)> found;
    } cases[] = {
        {"cycle", [](Copy &c) { c.slot(5)->next = 2; }, [](auto &r) { return r.cycle; }},
        // Beyond num_msgs: the walk stops, slots 4 and 5 are lost.
        {"bad link", [](Copy &c) { c.slot(3)->next = 40; },
         [](auto &r) { return r.bad_links == 1 && r.in_neither == 2; }},
        {"listed and allocated", [](Copy &c) { c.slot(2)->allocated = 1; },
         [](auto &r) { return r.in_both == 1; }},
        {"count", [](Copy &c) { c.header.alloc_count = 2; },
         [](auto &r) { return mentions(r, "alloc_count is 2 but 1"); }},
        {"tail", [](Copy &c) { c.header.free_tail = 4; }, // the list ends at 5
         [](auto &r) { return mentions(r, "free_tail"); }},
        {"guards",
         [](Copy &c) {
             c.slot(1)->front_guard = 0;
             *pxr_impl::rear_guard_of(c.slot(4), c.header.stride) = 0x12345678;
         },
         [](auto &r) { return r.damaged_guards == 2; }},
        // A damaged geometry stops the check before it reads any slot.
        {"count of slots", [](Copy &c) { c.header.num_msgs = 70000; }, [](auto &) { return true; }},
        {"stride", [](Copy &c) { c.header.stride += 4; },
         [](auto &r) { return mentions(r, "stride"); }},
        {"array size", [](Copy &c) { c.array.resize(c.array.size() - 1); },
         [](auto &r) { return mentions(r, "do not fit"); }},
    };
    for (const auto &k : cases) {
        Copy c = copy_of(0);
        k.damage(c);
        const PartitionCheck r = c.check(0, false);
        EXPECT_TRUE(k.found(r)) << k.what;
        EXPECT_FALSE(r.consistent()) << k.what;
    }
    relm(held);
}

TEST_F(CheckTest, FindsDamageOfTheLockFreeList) {
    ASSERT_TRUE(create_running_environment({.init_flags = PXR_INIT_ATOMIC, .buffers0 = 5}));
    MSG *m = getm(1, 0, 0, 8);
    ASSERT_NE(m, nullptr);
    relm(m); // slot 0 returns with tag 1, the tail moves to it
    m = getm(1, 0, 0, 8);
    ASSERT_TRUE(copy_of(0).check(0, true).consistent());

    // A release killed between marking the buffer free and linking it: in neither place.
    Copy c = copy_of(0);
    c.slot(pxr_impl::slot_of(m)->index)->allocated = 0;
    c.header.alloc_count = 0;
    PartitionCheck r = c.check(0, true);
    EXPECT_EQ(r.in_neither, 1u);
    EXPECT_FALSE(r.consistent()); // tag and tail damage: the list table of test_pools_threads
    relm(m);
}

// Traffic during the walk is never taken for damage; afterwards the held buffers are counted.
TEST_F(CheckTest, TrafficIsNeverDamageAndHeldBuffersAreCountedInBothForms) {
    for (uint32_t flags : {0u, uint32_t(PXR_INIT_ATOMIC)}) {
        remove_environment_objects();
        // Partition 0: a walk long enough to meet traffic.
        ASSERT_TRUE(
            create_running_environment({.init_flags = flags, .buffers0 = 2000, .buffers1 = 4}));
        // A fresh lock-free list starts with its tail one behind: that is not damage.
        EXPECT_TRUE(copy_of(0).check(0, flags != 0).consistent());
        pid_t traffic[2];
        for (pid_t &pid : traffic)
            pid = start_child([] {
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                MSG *held[16];
                while (std::chrono::steady_clock::now() < end) {
                    for (MSG *&m : held) m = getm(1, 0, 0, 8);
                    for (MSG *m : held) relm(m);
                }
                return 0;
            });
        pxrtool::EnvironmentCheck c;
        for (int i = 0; i < 5; ++i) {
            usleep(100 * 1000); // within the children's traffic
            EXPECT_NE(pxrtool::check_environment(c, 6, 50), pxrtool::kCheckDamaged)
                << c.partitions[0].problems.size();
        }
        for (pid_t pid : traffic) EXPECT_EQ(wait_child(pid), 0);
        MSG *a = getm(1, 0, 0, 8), *b = getm(1, 0, 0, 8), *d = getm(1, 0, 0, 200);
        for (MSG *got : {a, b, d}) ASSERT_NE(got, nullptr);
        EXPECT_EQ(pxrtool::check_environment(c), pxrtool::kCheckConsistent)
            << c.partitions[0].problems.size();
        EXPECT_EQ(c.atomic, flags != 0);
        const PartitionCheck &p0 = c.partitions[0];
        EXPECT_EQ((std::tuple{p0.allocated, p0.on_free_list}), (std::tuple{2, 1998}));
        ASSERT_EQ(p0.allocators.size(), 1u);
        EXPECT_EQ(p0.allocators[0].pid, getpid());
        EXPECT_TRUE(p0.allocators[0].alive);
        EXPECT_EQ(c.partitions[1].allocated, 1u);
        relm(a), relm(b), relm(d);
        PXR_unlink(); // the next round removes the objects
    }
}

// Buffers held by a process that is gone (here a zombie: ended, not yet waited for) are held,
// not lost, and are named exactly as reclaim would return them.
TEST_F(CheckTest, GoneHoldersAreNamedAndTheCommandStatusFollowsTheCheck) {
    TempDir dir;
    const auto check = [&](const char *arg) { return run_pxr(dir, {"check", arg}); };
    EXPECT_EQ(check("--bogus").code, 64);
    EXPECT_EQ(check("--json").code, 2); // no environment
    ASSERT_TRUE(create_running_environment({}));
    pid_t child = start_child([] {
        PXR_unlink();
        return getm(1, 0, 0, 8) != nullptr && getm(1, 0, 0, 8) != nullptr ? 0 : 1;
    });
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, id_t(child), &info, WEXITED | WNOWAIT), 0); // a zombie now
    pxrtool::EnvironmentCheck env;
    EXPECT_EQ(pxrtool::check_environment(env), 0);
    ASSERT_EQ(env.partitions[0].allocators.size(), 1u);
    const pxrtool::PidCount &a = env.partitions[0].allocators[0];
    EXPECT_EQ(a.pid, child);
    EXPECT_EQ(a.buffers, 2u);
    EXPECT_FALSE(a.alive);
    EXPECT_EQ(env.partitions[0].held_by_gone.size(), 2u);
    PXR_reclaim_stats st{};
    ASSERT_EQ(PXR_reclaim_buffers(0, PXR_RECLAIM_DRY_RUN, &st, nullptr, 0), 0);
    EXPECT_EQ(st.returned, 2u);
    ASSERT_EQ(wait_child(child), 0);
    const PxrRun r = check("--json");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\"result\":\"consistent\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"held_by_gone\":[{\"slot\":0,"), std::string::npos) << r.out;
    partition_hdr[0]->alloc_count = 3;
    EXPECT_EQ(check("--json").code, 1);
    partition_hdr[0]->alloc_count = 2;
}

} // namespace
