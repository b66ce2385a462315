// getm, relm, confirm_msg and the instance accessors.
#include "ipc_test.h"

#include "env/pxr_internal.h"

#include <cstring>

namespace {

class Helpers : public pxrtest::IpcTest {};

TEST_F(Helpers, GetmResetsTheHeaderRelmFiltersTheClassConfirmAnswersOnlyWhenAsked) {
    pxrtest::EnvSpec layout;
    layout.buffers0 = 1; // every getm hands out the same buffer again
    layout.size0 = 32;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    ASSERT_EQ(IPC_create(0x12, 1), 0);
    PartitionHeader *h = partition_hdr[0];

    MSG *m = getm(0x6111, 7, 0x0040, 12);
    ASSERT_NE(m, nullptr);
    m->status = 4, m->info = 5, m->src = 0x21;
    memcpy(m->param, "abc", 3);
    EXPECT_EQ(PXR_set_instance(0xDEADBEEF, m), 0);
    EXPECT_EQ(PXR_get_instance(m), 0xDEADBEEFu);
    m->msg_class = 0x40; // bit 6: not a pool class, the buffer stays allocated
    EXPECT_EQ(relm(m), 1);
    EXPECT_EQ(h->alloc_count, 1u);
    m->msg_class = 0x3F; // bits 3 to 5 are dropped
    EXPECT_EQ(relm(m), 0);
    EXPECT_EQ(relm(m), 1); // already free

    m = getm(2, 9, 0x0004, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->msg_class == 0 && m->status == 0 && m->info == 0 && m->len == 0);
    EXPECT_EQ(PXR_get_instance(m), 0u);
    EXPECT_EQ(m->src, 0x21); // src, dst and the parameters keep what the buffer held
    EXPECT_EQ(memcmp(m->param, "abc", 3), 0);

    m->src = 0x12, m->dst = 0x30; // bit 2 of the reply mask: answered
    EXPECT_EQ(confirm_msg(m), 0);
    ASSERT_EQ(PXR_grab(0x12), m);
    EXPECT_EQ(m->reply_mask, 0);
    EXPECT_EQ(confirm_msg(m), 0); // the answer asks for nothing: released
    EXPECT_EQ(h->alloc_count, 0u);
    m = getm(2, 9, 0x0002, 0);
    m->src = 0x12; // bit 1 is not the sender's: released without an answer
    EXPECT_EQ(confirm_msg(m), 0);
    EXPECT_EQ(PXR_grab(0x12), nullptr);
    EXPECT_EQ(h->alloc_count, 0u);
    EXPECT_EQ(getm(2, 0, 0, 33), nullptr); // larger than the partition
    EXPECT_EQ(gett(), nullptr);
    EXPECT_EQ(getr(), nullptr);
}

} // namespace
