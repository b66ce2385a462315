// Allocation: stamps, refusals, congestion messages in both pool forms, exhaustion.
#include "ipc_test.h"

namespace {

using namespace pxrtest;

constexpr uint32_t kCongestion = 9;

class Alloc : public IpcTest {
  protected:
    PartitionHeader *h = nullptr;
    void make_env(uint32_t init_flags, int32_t buffers, uint32_t onset, uint32_t abate) {
        ASSERT_TRUE(create_running_environment({.init_flags = init_flags,
                                                .congestion_module = kCongestion,
                                                .buffers0 = buffers,
                                                .size0 = 256,
                                                .onset0 = onset,
                                                .abate0 = abate}));
        h = partition_hdr[0];
    }
};

TEST_F(Alloc, StampsSizesAndRefusals) {
    make_env(0, 4, 0, 0);
    uint32_t size = 10;
    MSG *m = PXR_getmem(0, &size);
    ASSERT_NE(m, nullptr);
    SysMsg *s = pxr_impl::slot_of(m);
    EXPECT_EQ((std::tuple{size, s->getmem_pid, s->relmem_pid, s->allocated}),
              (std::tuple{256, getpid(), 0, 1u}));

    size = 1;
    EXPECT_EQ(PXR_getmem(8, &size), nullptr);
    EXPECT_EQ(PXR_relmem(8, m) + PXR_relmem(-1, m), 2u);
    EXPECT_EQ(s->allocated, 1u);
    EXPECT_EQ(common_ptr->fatal_code, 0u); // a bad class is not a fatal event
    EXPECT_EQ(PXR_partition_congestion(0), 0u);
    for (int p : {1, 2}) EXPECT_EQ(PXR_partition_congestion(p), PXR_NO_INDEX); // none, beyond

    s->send_pid = s->receive_pid = 99;
    ASSERT_EQ(PXR_relmem(7, m), 0u);
    EXPECT_EQ(s->relmem_pid, getpid());
    // A second release is refused and leaves the list as it was.
    const uint32_t tail = h->free_tail;
    EXPECT_EQ(PXR_relmem(0, m), 1u);
    EXPECT_EQ((std::tuple{h->free_tail, h->alloc_count}), (std::tuple{tail, 0}));

    // Take every buffer: the released one comes back last, its stamps cleared.
    std::vector<MSG *> all(4);
    for (MSG *&x : all) ASSERT_NE(x = PXR_getmem(0, &(size = 0)), nullptr);
    EXPECT_EQ(all.back(), m);
    EXPECT_EQ((std::tuple{s->relmem_pid, s->send_pid, s->receive_pid}), (std::tuple{0, 0, 0}));
    for (MSG *x : all) EXPECT_EQ(PXR_relmem(0, x), 0u);

    PXR_unlink();
    EXPECT_EQ(PXR_partition_congestion(0), PXR_NO_INDEX); // no attach is attempted
    EXPECT_EQ(common_ptr, nullptr);
}

TEST_F(Alloc, OnsetSendFailureHandsTheCallerThePreparedBuffer) {
    make_env(0, 4, 1, 0); // the congestion module has no queue
    uint32_t size = 3;
    MSG *m = PXR_getmem(0, &size);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ((std::tuple{m->type, m->id, m->status, m->dst}), (std::tuple{1, 0, 1, kCongestion}));
    EXPECT_EQ((std::tuple{h->cong_status, h->alloc_count}), (std::tuple{1, 1}));
    EXPECT_EQ(PXR_partition_congestion(0), 1u);
}

// A congestion module process receives onset (after onset_allocs) and abate messages.
void run_congestion_round(PartitionHeader *h, int onset_allocs, int releases_to_abate) {
    ASSERT_EQ(IPC_create(kCongestion, 1), 0);
    pid_t module = start_child([] {
        PXR_unlink();
        alarm(20);
        MSG *on = PXR_receive(kCongestion);
        if (on == nullptr || on->type != 1 || on->status != 1 || on->id != 0) return 1;
        if (on->dst != kCongestion || on->src != 0 || on->len != 0) return 2;
        MSG *off = PXR_receive(kCongestion);
        if (off == nullptr || off->type != 1 || off->status != 0 || off == on) return 3;
        return relm(on) + relm(off);
    });

    std::vector<MSG *> held;
    for (int i = 0; i < onset_allocs; ++i) {
        MSG *m = getm(0x10, uint16_t(i), 0, 0);
        ASSERT_NE(m, nullptr);
        held.push_back(m);
        EXPECT_EQ(h->cong_status, i + 1 == onset_allocs ? 1u : 0u) << "allocation " << i;
    }
    EXPECT_EQ(h->cong_count, 1u);
    // The caller got a different buffer from the one that carries the onset message.
    EXPECT_EQ(h->alloc_count, uint32_t(onset_allocs + 1));
    EXPECT_EQ(held.back()->type, 0x10);

    for (int i = 0; i < releases_to_abate; ++i) {
        EXPECT_EQ(h->cong_status, 1u);
        ASSERT_EQ(relm(held.back()), 0);
        held.pop_back();
    }
    EXPECT_EQ(h->cong_status, 0u);
    EXPECT_EQ(wait_child(module), 0);
    for (MSG *m : held) EXPECT_EQ(relm(m), 0);
    EXPECT_EQ((std::tuple{h->alloc_count, h->cong_count}), (std::tuple{0, 1}));
    EXPECT_EQ(h->max_alloc, uint32_t(onset_allocs + 1));
}

TEST_F(Alloc, LockedCongestionSignalsAtOnsetAndAtTheReleaseMadeAtAbate) {
    make_env(0, 8, 4, 2);
    run_congestion_round(h, 4, 4);
}

TEST_F(Alloc, AtomicCongestionSignalsOneEarlierAndAtTheReleaseThatReachesAbate) {
    make_env(PXR_INIT_ATOMIC, 8, 4, 2);
    run_congestion_round(h, 3, 2);
}

TEST_F(Alloc, ExhaustionRaisesFatalEventTwoAndEndsTheEnvironment) {
    make_env(PXR_INIT_FATAL_ACTION(1), 2, 0, 0);
    pid_t loader = start_child([] { return PXR_wait_exit(); });
    for (int i = 0; i < 400 && semget(pxr_impl::kExitSemKey, 1, 0) < 0; ++i) usleep(5000);
    usleep(50000); // let the loader block

    ASSERT_NE(getm(1, 0, 0, 0), nullptr);
    ASSERT_NE(getm(1, 0, 0, 0), nullptr);
    EXPECT_EQ(getm(1, 0, 0, 0), nullptr);
    EXPECT_EQ(common_ptr, nullptr);      // terminated and closed
    EXPECT_EQ(wait_child(loader), 0xFE); // PXR_wait_exit returned -2
}

} // namespace
