// Four processes allocate, send, receive and release at the same time on one partition; at the
// end every buffer is accounted for exactly once and the statistics agree.
#include "ipc_test.h"

#include "env/pxr_internal.h"

#include <unistd.h>
#include <vector>

namespace {

constexpr int kWorkers = 4;
constexpr uint32_t kFirstModule = 20;
constexpr int32_t kBuffers = 128;
constexpr int kBurst = 8;

constexpr int kAllocs = 0, kReceived = 1; // common area counters that add up the work

// {iterations, churn rounds}: the locked pool pays two semaphore calls per operation.
struct Load {
    int iterations, churn_rounds;
};
constexpr Load kLocked{1000, 2}, kAtomic{5000, 32};

int worker(int me, Load load) {
    PXR_unlink();
    alarm(20);
    const uint32_t own = kFirstModule + uint32_t(me);
    const uint32_t peer = kFirstModule + uint32_t((me + 1) % kWorkers);
    MSG *burst[kBurst];
    for (int it = 0; it < load.iterations; ++it) {
        // Two messages to the next worker, two from the previous one.
        for (int k = 0; k < 2; ++k) {
            MSG *m = getm(0x100, uint16_t(me), 0, 4);
            if (m == nullptr) return 10;
            m->info = uint32_t(it);
            if (PXR_send(peer, m) != 0) return 11;
        }
        for (int k = 0; k < 2; ++k) {
            MSG *m = PXR_receive(own);
            if (m == nullptr) return 12;
            if (m->id != uint16_t((me + kWorkers - 1) % kWorkers)) return 13;
            if (pxr::slot_of(m)->allocated != 1) return 14;
            if (relm(m) != 0) return 15;
        }
        // Bursts that only churn the free list, released in another order than taken.
        for (int round = 0; round < load.churn_rounds; ++round) {
            for (int k = 0; k < kBurst; ++k) {
                if ((burst[k] = getm(0x200, 0, 0, 0)) == nullptr) return 16;
                burst[k]->info = uint32_t(me << 16 | k);
            }
            // A buffer handed to two owners at once shows the other owner's marks.
            for (int k = 0; k < kBurst; ++k) {
                MSG *m = burst[(k * 5 + round) % kBurst];
                if (pxr::slot_of(m)->getmem_pid != my_pid) return 18;
                if (m->info != uint32_t(me << 16 | ((k * 5 + round) % kBurst))) return 19;
                if (relm(m) != 0) return 17;
            }
        }
        pxr::shared(common_ptr->counters[kAllocs])
            .fetch_add(uint32_t(2 + kBurst * load.churn_rounds));
        pxr::shared(common_ptr->counters[kReceived]).fetch_add(2);
    }
    return 0;
}

class Stress : public pxrtest::IpcTest, public ::testing::WithParamInterface<bool> {};

TEST_P(Stress, EveryBufferIsAccountedForOnceAndTheStatisticsAgree) {
    const bool atomic = GetParam();
    const Load load = atomic ? kAtomic : kLocked;
    pxrtest::EnvSpec layout;
    layout.init_flags = atomic ? PXR_INIT_ATOMIC : 0;
    layout.buffers0 = kBuffers;
    layout.size0 = 16;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    for (int w = 0; w < kWorkers; ++w) ASSERT_EQ(IPC_create(kFirstModule + uint32_t(w), 1), 0);

    std::vector<pid_t> pids;
    for (int w = 0; w < kWorkers; ++w)
        pids.push_back(pxrtest::start_child([w, load] { return worker(w, load); }));
    for (int w = 0; w < kWorkers; ++w) EXPECT_EQ(pxrtest::wait_child(pids[size_t(w)]), 0) << w;

    PartitionHeader *h = partition_hdr[0];
    EXPECT_EQ(h->alloc_count, 0u);
    EXPECT_EQ(h->out_of_msg, 0u);
    EXPECT_LE(h->max_alloc, uint32_t(kBuffers));
    EXPECT_EQ(common_ptr->fatal_code, 0u);
    EXPECT_EQ(common_ptr->counters[kReceived], uint32_t(kWorkers * load.iterations * 2));
    for (int w = 0; w < kWorkers; ++w) EXPECT_EQ(PXR_pending_msgs(kFirstModule + uint32_t(w)), 0);

    // Walk the free list: every buffer on it exactly once, none allocated.
    std::vector<int> seen(kBuffers, 0);
    uint32_t word = h->free_head, last = PXR_NO_INDEX;
    int listed = 0;
    for (; listed <= kBuffers; word = pxr::slot_at(0, last)->next) {
        last = word & 0xFFFFu;
        ASSERT_LT(last, uint32_t(kBuffers));
        ++seen[last];
        ++listed;
        EXPECT_EQ(pxr::slot_at(0, last)->allocated, 0u) << "slot " << last;
        if (pxr::slot_at(0, last)->next == PXR_NO_INDEX) break;
    }
    EXPECT_EQ(listed, kBuffers);
    for (int i = 0; i < kBuffers; ++i) EXPECT_EQ(seen[size_t(i)], 1) << "slot " << i;
    if (atomic) {
        // The tail names the last buffer or lags one behind it.
        const uint32_t t = h->free_tail & 0xFFFFu;
        EXPECT_TRUE(t == last || pxr::slot_at(0, t)->next == last);
        // Every removal raised one buffer's count; the list's tag is its count's low bits.
        uint64_t removals = 0;
        for (int i = 0; i < kBuffers; ++i) removals += pxr::slot_at(0, uint32_t(i))->getmem_count;
        EXPECT_EQ(removals, uint64_t(common_ptr->counters[kAllocs]));
        EXPECT_EQ(h->free_head >> 16,
                  pxr::slot_at(0, h->free_head & 0xFFFFu)->getmem_count & 0xFFFFu);
    } else {
        EXPECT_EQ(h->free_tail, last);
    }
}

INSTANTIATE_TEST_SUITE_P(BothForms, Stress, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) {
                             return p.param ? "Atomic" : "Locked";
                         });

} // namespace
