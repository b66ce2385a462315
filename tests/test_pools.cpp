// The two free-list pools on their own: order, statistics and onset levels (abate: test_alloc).
#include "ipc_test.h"

namespace {

constexpr uint32_t kCongestion = 9;

class Pools : public pxrtest::IpcTest {
  protected:
    PartitionHeader *h = nullptr;
    void make_env(bool atomic, int32_t buffers, uint32_t onset) {
        ASSERT_TRUE(pxrtest::create_running_environment({.init_flags = atomic ? PXR_INIT_ATOMIC : 0,
                                                         .congestion_module = kCongestion,
                                                         .buffers0 = buffers,
                                                         .size0 = 32,
                                                         .onset0 = onset}));
        ASSERT_EQ(IPC_create(kCongestion, 1), 0);
        h = partition_hdr[0];
    }
};

TEST_F(Pools, LockedTakesInOrderCountsOnsetAtTheLevelAndRunsDry) {
    make_env(false, 2, 2);
    uint32_t size = 1, onset = 0;
    SysMsg *a = semaphore_getmem(&size, &onset);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ((std::tuple{a->index, size, onset, h->cong_status}), (std::tuple{0, 32, 0, 0}));
    EXPECT_GE(h->max_alloc_time.year, 2000u);
    SysMsg *b = semaphore_getmem(&size, &onset);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ((std::tuple{b->index, onset, h->cong_status, h->cong_count}),
              (std::tuple{1, 1, 1, 1}));
    EXPECT_EQ(h->cong_count_reset, 1u);
    EXPECT_NE(h->cong_onset_time.year, 0);
    EXPECT_EQ((std::tuple{h->free_head, h->alloc_count, h->max_alloc}),
              (std::tuple{PXR_NO_INDEX, 2, 2}));
    size = 1;
    EXPECT_EQ(semaphore_getmem(&size, &onset), nullptr);
    EXPECT_EQ((std::tuple{h->out_of_msg, size}), (std::tuple{1, 1}));

    // Released buffers come back behind the ones already free, in release order.
    h->cong_status = 0;
    ASSERT_EQ(semaphore_relmem(b), 0u);
    EXPECT_EQ((std::tuple{h->free_head, h->free_tail}), (std::tuple{1, 1}));
    ASSERT_EQ(semaphore_relmem(a), 0u);
    EXPECT_EQ((std::tuple{h->free_tail, b->next}), (std::tuple{0, 0}));
    onset = 0;
    EXPECT_EQ(semaphore_getmem(&size, &onset), b);
    EXPECT_EQ(semaphore_getmem(&size, &onset), a);
    EXPECT_EQ(h->cong_count, 2u);
}

TEST_F(Pools, AtomicFreshListKeepsOneBufferAndRepairsTheLaggingTail) {
    make_env(true, 3, 3);
    uint32_t onset = 0;
    SysMsg *s0 = atomic_getmem(1, &onset);
    ASSERT_NE(s0, nullptr);
    EXPECT_EQ((std::tuple{s0->index, h->free_head, onset}), (std::tuple{0, 1, 0}));
    ASSERT_NE(atomic_getmem(1, &onset), nullptr);
    EXPECT_EQ(h->free_tail, 2u);
    // Onset is counted one below the level (here at alloc_count 2); cong_status is set by the
    // front end, not by the pool.
    EXPECT_EQ((std::tuple{onset, h->cong_count, h->cong_count_reset, h->cong_status}),
              (std::tuple{1, 1u, 1u, 0u}));
    EXPECT_EQ(atomic_getmem(1, &onset), nullptr);
    EXPECT_EQ((std::tuple{h->out_of_msg, h->alloc_count, h->max_alloc}), (std::tuple{1, 2, 2}));

    ASSERT_EQ(atomic_relmem(s0), 0u);
    EXPECT_EQ((std::tuple{pxr_impl::slot_at(0, 2)->next, h->free_tail}),
              (std::tuple{0, 0x00010000u}));
    EXPECT_EQ((std::tuple{s0->allocated, h->alloc_count}), (std::tuple{0, 1}));
    // The buffer comes back under a new tag and is handed out again after slot 2.
    onset = 0;
    EXPECT_EQ(atomic_getmem(1, &onset), pxr_impl::slot_at(0, 2));
    EXPECT_EQ(h->free_head, 0x00010000u);
}

} // namespace
