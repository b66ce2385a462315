// getm, relm, confirm_msg and the instance accessors.
#include "ipc_test.h"

#include "env/pxr_internal.h"

#include <cstring>

namespace {

class Helpers : public pxrtest::IpcTest {
  protected:
    PartitionHeader *h = nullptr;
    void SetUp() override {
        pxrtest::IpcTest::SetUp();
        pxrtest::EnvSpec spec;
        spec.buffers0 = 1;
        spec.size0 = 32;
        ASSERT_TRUE(pxrtest::create_running_environment(spec));
        h = partition_hdr[0];
    }
};

TEST_F(Helpers, GetmFillsTheHeaderAndKeepsTheRest) {
    MSG *m = getm(0x6111, 7, 0x0040, 12);
    ASSERT_NE(m, nullptr);
    m->msg_class = 3;
    m->status = 4;
    m->info = 5;
    m->src = 0x21;
    m->dst = 0x22;
    memcpy(m->param, "abc", 3);
    EXPECT_EQ(PXR_set_instance(0xDEADBEEF, m), 0);
    EXPECT_EQ(PXR_get_instance(m), 0xDEADBEEFu);
    EXPECT_EQ(relm(m), 0);

    MSG *again = getm(2, 9, 0, 0); // the only buffer: the same one again
    ASSERT_EQ(again, m);
    EXPECT_EQ(again->type, 2);
    EXPECT_EQ(again->id, 9);
    EXPECT_EQ(again->reply_mask, 0);
    EXPECT_EQ(again->msg_class, 0);
    EXPECT_EQ(again->status, 0);
    EXPECT_EQ(again->info, 0u);
    EXPECT_EQ(PXR_get_instance(again), 0u);
    EXPECT_EQ(again->len, 0);
    EXPECT_EQ(again->src, 0x21);
    EXPECT_EQ(again->dst, 0x22);
    EXPECT_EQ(memcmp(again->param, "abc", 3), 0);
    EXPECT_EQ(getm(2, 0, 0, 33), nullptr); // larger than the partition
    EXPECT_EQ(gett(), nullptr);
    EXPECT_EQ(getr(), nullptr);
}

TEST_F(Helpers, RelmDropsClassBitsThreeToFiveAndRefusesSixAndSeven) {
    MSG *m = getm(2, 0, 0, 0);
    ASSERT_NE(m, nullptr);
    m->msg_class = 0x40;
    EXPECT_EQ(relm(m), 1);
    EXPECT_EQ(h->alloc_count, 1u);
    m->msg_class = 0x3F;
    EXPECT_EQ(relm(m), 0);
    EXPECT_EQ(h->alloc_count, 0u);
    EXPECT_EQ(relm(m), 1); // already free
}

TEST_F(Helpers, ConfirmAnswersOnlyWhenTheSendersBitIsSet) {
    ASSERT_EQ(IPC_create(0x12, 1), 0);
    MSG *m = getm(0x6111, 1, 0x0004, 0);
    ASSERT_NE(m, nullptr);
    m->src = 0x12; // bit 2 of the mask
    m->dst = 0x30;
    m->status = 6;
    EXPECT_EQ(confirm_msg(m), 0);
    MSG *answer = PXR_grab(0x12);
    ASSERT_EQ(answer, m);
    EXPECT_EQ(answer->type, 0x2111);
    EXPECT_EQ(answer->reply_mask, 0);
    EXPECT_EQ(answer->src, 0x30);
    EXPECT_EQ(answer->dst, 0x12);
    EXPECT_EQ(answer->status, 6);
    EXPECT_EQ(h->alloc_count, 1u);

    // The answer asks for nothing: confirming it releases it.
    EXPECT_EQ(confirm_msg(answer), 0);
    EXPECT_EQ(h->alloc_count, 0u);
    EXPECT_EQ(PXR_grab(0x30), nullptr);

    // Bit 1 is not the sender's bit: released without an answer.
    m = getm(0x6111, 1, 0x0002, 0);
    ASSERT_NE(m, nullptr);
    m->src = 0x12;
    EXPECT_EQ(confirm_msg(m), 0);
    EXPECT_EQ(PXR_grab(0x12), nullptr);
    EXPECT_EQ(h->alloc_count, 0u);
}

} // namespace
