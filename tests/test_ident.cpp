// Identity request and answer: the request as the addressed module receives it, the
// identity parameters, and the answer returned by confirm_msg.
#include "pxrlib.h"

#include "env/pxr_internal.h"
#include "ipc_test.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> params(const MSG *m, std::size_t n) {
    return {m->param, m->param + n};
}

struct LocalMsg {
    alignas(8) uint8_t bytes[PXR_MSG_HEADER_SIZE + 40];
    explicit LocalMsg(uint16_t len) {
        std::memset(bytes, 0xEE, sizeof bytes);
        msg()->len = len;
    }
    MSG *msg() { return reinterpret_cast<MSG *>(bytes); }
};

std::vector<uint8_t> text_field(const char *text) {
    std::vector<uint8_t> v(24, 0);
    for (std::size_t i = 0; i < 23 && text[i] != '\0'; ++i) v[i] = uint8_t(text[i]);
    return v;
}

TEST(Ident, BuildWritesBigEndianWordBytesAndTerminatedText) {
    LocalMsg m(28);
    m.msg()->type = 0x6111;
    EXPECT_EQ(ID_build_ident(m.msg(), 0x0102, 3, 4, "ABC"), 0);
    std::vector<uint8_t> want = {0x01, 0x02, 0x03, 0x04, 'A', 'B', 'C'};
    want.resize(28, 0);
    EXPECT_EQ(params(m.msg(), 28), want);
    EXPECT_EQ(m.msg()->param[28], 0xEE); // nothing beyond the 28 bytes
    EXPECT_EQ(m.msg()->type, 0x6111);
    EXPECT_EQ(m.msg()->len, 28);

    // Too long a text is cut to 23 characters and still ends with NUL.
    const char *longer = "abcdefghijklmnopqrstuvwxyz1234";
    EXPECT_EQ(ID_build_ident(m.msg(), 0xFFFF, 0xFF, 0x00, longer), 0);
    EXPECT_EQ(params(m.msg(), 4), std::vector<uint8_t>({0xFF, 0xFF, 0xFF, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(m.msg()->param + 4, m.msg()->param + 28), text_field(longer));
    EXPECT_EQ(m.msg()->param[26], 'w');
    EXPECT_EQ(m.msg()->param[27], 0);

    // An empty text clears the whole field.
    EXPECT_EQ(ID_build_ident(m.msg(), 1, 2, 3, ""), 0);
    EXPECT_EQ(std::vector<uint8_t>(m.msg()->param + 4, m.msg()->param + 28), text_field(""));

    // A message too short for an identity is left alone.
    LocalMsg shorter(27);
    EXPECT_EQ(ID_build_ident(shorter.msg(), 0x0102, 3, 4, "ABC"), 1);
    EXPECT_EQ(params(shorter.msg(), 28), std::vector<uint8_t>(28, 0xEE));
}

class IdentTest : public pxrtest::IpcTest {
  protected:
    void start() {
        pxrtest::EnvSpec spec;
        spec.buffers0 = 2;
        spec.size0 = 64;
        ASSERT_TRUE(pxrtest::create_running_environment(spec));
        // Leave stale bytes in every buffer, so the request must clear its parameters.
        MSG *a = getm(1, 0, 0, 64);
        MSG *b = getm(1, 0, 0, 64);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        std::memset(a->param, 0xA5, 64);
        std::memset(b->param, 0xA5, 64);
        relm(a);
        relm(b);
    }
};

TEST_F(IdentTest, RequestFromAnotherProcessAndItsAnswer) {
    start();
    ASSERT_EQ(IPC_create(0x20, 1), 0);
    ASSERT_EQ(IPC_create(0x23, 1), 0);

    int rc = pxrtest::run_child([] {
        PXR_unlink();
        return ID_req_ident(0x23, 0x20, 7) == 0 ? 0 : 1;
    });
    ASSERT_EQ(rc, 0);

    MSG *req = PXR_grab(0x20);
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->type, 0x6111);
    EXPECT_EQ(req->id, 7);
    EXPECT_EQ(req->src, 0x23);
    EXPECT_EQ(req->dst, 0x20);
    EXPECT_EQ(req->reply_mask, 0x0008); // bit (0x23 & 15)
    EXPECT_EQ(req->msg_class, 0);
    EXPECT_EQ(req->status, 0);
    EXPECT_EQ(req->info, 0u);
    EXPECT_EQ(req->instance, 0u);
    EXPECT_EQ(req->len, 28);
    EXPECT_EQ(params(req, 28), std::vector<uint8_t>(28, 0));

    // The addressed module answers in the same buffer.
    EXPECT_EQ(ID_build_ident(req, 0xBEEF, 1, 2, "module-20"), 0);
    EXPECT_EQ(confirm_msg(req), 0);
    EXPECT_EQ(PXR_grab(0x20), nullptr);
    MSG *answer = PXR_grab(0x23);
    ASSERT_EQ(answer, req);
    EXPECT_EQ(answer->type, 0x2111);
    EXPECT_EQ(answer->src, 0x20);
    EXPECT_EQ(answer->dst, 0x23);
    EXPECT_EQ(answer->reply_mask, 0);
    EXPECT_EQ(answer->id, 7);
    std::vector<uint8_t> want = {0xBE, 0xEF, 1, 2};
    std::vector<uint8_t> text = text_field("module-20");
    want.insert(want.end(), text.begin(), text.end());
    EXPECT_EQ(params(answer, 28), want);
    EXPECT_EQ(relm(answer), 0);
    EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
}

TEST_F(IdentTest, RequestThatCannotBeSentIsReleased) {
    start();
    EXPECT_EQ(ID_req_ident(0x13, 0x44, 1), -1); // module 0x44 has no queue
    EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
}

} // namespace
