// Damaged links in shared memory and pointers that are not messages end in a clear failure,
// never in a crash or an endless loop, in both pool forms.
#include "ipc_test.h"

#include "env/pxr_internal.h"

#include <csignal>
#include <string>
#include <unistd.h>

namespace {

class HostileDamage : public pxrtest::IpcTest {
  protected:
    void make_env(bool atomic) {
        pxrtest::remove_environment_objects();
        pxrtest::EnvSpec layout;
        layout.init_flags = atomic ? PXR_INIT_ATOMIC : 0;
        layout.buffers0 = 8;
        ASSERT_TRUE(pxrtest::create_running_environment(layout));
        ASSERT_EQ(IPC_create(1, 1), 0);
    }
};

TEST_F(HostileDamage, PointersThatAreNotMessagesAreRefused) {
    make_env(true);
    MSG *m = getm(1, 0, 0, 8);
    ASSERT_NE(m, nullptr);
    alignas(8) uint8_t local[256] = {};
    auto *bytes = reinterpret_cast<uint8_t *>(m);
    MSG *bad[] = {nullptr, reinterpret_cast<MSG *>(local + 44), reinterpret_cast<MSG *>(bytes + 4),
                  reinterpret_cast<MSG *>(bytes - 44)};
    for (MSG *b : bad) {
        EXPECT_EQ(relm(b), 1);
        EXPECT_EQ(PXR_relmem(0, b), 1u);
        EXPECT_EQ(atomic_relmem(b == nullptr ? nullptr : pxr::slot_of(b)), 1u);
        EXPECT_EQ(PXR_send(1, b), -1);
        EXPECT_EQ(confirm_msg(b), -1);
        EXPECT_EQ(update_congestion(b, 1, 0, 1), 1u);
    }
    EXPECT_EQ(trace_msg(nullptr), -1);
    EXPECT_EQ(trace_msg(bad[2]), -1);
    EXPECT_EQ(PXR_set_instance(1, nullptr), -1);
    EXPECT_EQ(m->src, 0); // nothing was written through a refused pointer
    EXPECT_EQ(relm(m), 0);
}

// Each row damages one word of a fresh partition in a child process, then allocates (or
// releases a buffer it holds); the child must fail cleanly, with the word named on stderr.
struct Row {
    const char *name;
    bool atomic;
    bool release;
    void (*damage)(PartitionHeader *, SysMsg *held);
    const char *message;
};

// The list-level rows are in test_pools_threads; these go through getm and relm.
const Row kRows[] = {
    {"locked head beyond", false, false, [](PartitionHeader *h, SysMsg *) { h->free_head = 40; },
     "partition 0 is damaged: free_head = 0x00000028"},
    {"locked tail beyond", false, true, [](PartitionHeader *h, SysMsg *) { h->free_tail = 40; },
     "free_tail = 0x00000028"},
    {"lock-free next beyond", true, false,
     [](PartitionHeader *, SysMsg *) { pxr::slot_at(0, 2)->next = 40; },
     "next of buffer 2 = 0x00000028"},
    {"lock-free loop behind the tail", true, true,
     [](PartitionHeader *, SysMsg *) { pxr::slot_at(0, 7)->next = 7; }, "free_tail"},
    {"partition word 7", true, true, [](PartitionHeader *, SysMsg *held) { held->partition = 7; },
     "partition of buffer 1 = 0x00000007"},
};

TEST_F(HostileDamage, DamagedWordsEndInAClearFailure) {
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        make_env(row.atomic);
        const int rc = pxrtest::run_child([&] {
            alarm(20); // an endless loop ends the child with SIGALRM
            MSG *first = getm(1, 0, 0, 8), *held = getm(1, 0, 0, 8);
            if (first == nullptr || held == nullptr) return 10;
            row.damage(partition_hdr[0], pxr::slot_of(held));
            bool failed = false;
            const std::string err = pxrtest::capture_stderr(
                [&] { failed = row.release ? relm(held) == 1 : getm(1, 0, 0, 8) == nullptr; });
            if (!failed) return 11;
            if (err.find(row.message) == std::string::npos) return 12;
            return PXR_sys_failure == 1 ? 0 : 13;
        });
        EXPECT_EQ(rc, 0);
        PXR_unlink();
    }
}

TEST_F(HostileDamage, RepairReturnsABufferLostInAKilledRelease) {
    make_env(true);
    MSG *m = getm(1, 0, 0, 8);
    ASSERT_NE(m, nullptr);
    pxr::slot_of(m)->allocated = 0; // killed after marking it free, before linking it
    uint32_t relinked = 0;
    EXPECT_EQ(PXR_repair_partition(0, &relinked), 0);
    EXPECT_TRUE(relinked == 1 && partition_hdr[0]->alloc_count == 0);
    for (int i = 0; i < 7; ++i) EXPECT_NE(getm(1, 0, 0, 8), nullptr); // all but the one that stays
    EXPECT_EQ(PXR_repair_partition(2, nullptr), -1);
}

} // namespace
