// The limits of opening a partition, and attaching to one.
#include "ipc_test.h"

namespace {

using pxrtest::run_child;

class Partition : public pxrtest::IpcTest {
  protected:
    void SetUp() override {
        IpcTest::SetUp();
        ASSERT_EQ(PXR_init(PXR_INIT_CREATE, 0, 0x21), 0);
    }
};

bool partition_objects_exist(int p) {
    return shmget(pxr_impl::kPartitionHeaderKey + p, 0, 0) >= 0 ||
           shmget(pxr_impl::kMsgArrayKey + p, 0, 0) >= 0 ||
           semget(pxr_impl::kPartitionLockKey + p, 0, 0) >= 0;
}

TEST_F(Partition, OpeningRefusesBadArgumentsAndLeavesNothingBehind) {
    // {partition, buffers, size, flags}; the last row attaches a partition never created.
    const uint32_t C = PXR_OPEN_CREATE, A = PXR_OPEN_CREATE | PXR_OPEN_ATOMIC;
    const struct {
        int p, n;
        uint32_t size, flags;
    } bad[] = {{0, 65001, 8, C},
               {2, 4, 8, C},
               {-1, 4, 8, C},
               {0, -4, 8, C},
               {0, 1, 8, A},
               {0, 4, 6, A},
               {0, 65000, 0xFFFFFFF0u, C},
               {0, 0, 8, C},
               {1, 0, 0, 0}};
    for (const auto &b : bad)
        EXPECT_EQ(PXR_open_partition(b.p, b.n, b.size, 0, 0, b.flags), 1u) << b.p << " " << b.n;
    EXPECT_FALSE(partition_objects_exist(0));
    EXPECT_FALSE(partition_objects_exist(1));
    EXPECT_EQ((std::tuple{partition_hdr[0], partition_msgarray[0]}),
              (std::tuple{nullptr, nullptr}));

    ASSERT_EQ(PXR_open_partition(0, 65000, 0, 0, 0, PXR_OPEN_CREATE), 0u);
    PartitionHeader *first = partition_hdr[0];
    EXPECT_EQ(PXR_open_partition(0, 4, 8, 0, 0, PXR_OPEN_CREATE), 1u);
    EXPECT_EQ(partition_hdr[0], first);
    EXPECT_EQ(first->num_msgs, 65000);
    EXPECT_EQ(index_to_partition_sysmsg(0, 64999)->next, PXR_NO_INDEX);

    // The locked form takes any parameter size; later slots are then not word aligned.
    ASSERT_EQ(PXR_open_partition(1, 3, 6, 0, 0, PXR_OPEN_CREATE), 0u);
    EXPECT_EQ(partition_hdr[1]->stride, 78u);
    uint32_t part = 9, index = 9, rear = 0;
    EXPECT_EQ(msg_to_index(index_to_msg(1, 2), &part, &index), 0u);
    EXPECT_EQ((std::tuple{part, index, PXR_parameter_size(index_to_msg(1, 1))}),
              (std::tuple{1, 2, 6}));
    std::memcpy(&rear, partition_msgarray[1] + 2 * 78 + 74, 4);
    EXPECT_EQ(rear, PXR_REAR_GUARD);
}

TEST_F(Partition, AttachMapsWhatExistsAndResetsOnlyTheSinceResetStatistics) {
    ASSERT_EQ(PXR_open_partition(0, 4, 16, 3, 1, PXR_OPEN_CREATE), 0u);
    PXR_admit_attachers();
    PartitionHeader &h = *partition_hdr[0];
    h.max_alloc = h.max_alloc_reset = 3;
    h.max_alloc_time.year = 2026;
    h.cong_count = h.cong_count_reset = 2;
    h.cong_onset_time.usec = 5;
    h.out_of_msg = 1;

    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  if (PXR_init(0, 0, 0) != 0 || partition_hdr[1] != nullptr) return 1;
                  uint32_t n = 0, size = 0, cong = 9;
                  if (PXR_partition_info(0, &n, &size, &cong) != 0) return 2;
                  if (n != 4 || size != 16 || cong != 0) return 3;
                  if (PXR_partition_info(0, nullptr, nullptr, nullptr) != 0) return 4;
                  for (int p : {1, 2})
                      if (PXR_partition_info(p, &n, nullptr, nullptr) != PXR_NO_INDEX) return 5;
                  // A second attach of an attached partition maps it and answers 0; the
                  // mapping in use stays, so a message held keeps its address.
                  PartitionHeader *before = partition_hdr[0];
                  if (PXR_open_partition(0, 0, 0, 0, 0, 0) != 0 || partition_hdr[0] != before)
                      return 6;
                  return index_to_partition_sysmsg(0, 3)->index == 3 ? 0 : 7;
              }),
              0);
    EXPECT_EQ(h.max_alloc_reset, 3u); // a plain attach resets nothing

    EXPECT_EQ(run_child([] { return PXR_unlink(), PXR_init(PXR_INIT_RESET_STATS, 0, 0); }), 0);
    EXPECT_EQ((std::tuple{h.max_alloc_reset, h.max_alloc_time.year, h.cong_count_reset,
                          h.cong_onset_time.usec}),
              (std::tuple{0, 0, 0, 0}));
    EXPECT_EQ((std::tuple{h.max_alloc, h.cong_count, h.out_of_msg, h.cong_onset}),
              (std::tuple{3, 2, 1, 3}));
}

} // namespace
