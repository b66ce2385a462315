// Identity request as the addressed module receives it, the identity parameters, and the
// answer that confirm_msg returns.
#include "env/pxr_internal.h"
#include "ipc_test.h"

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
Bytes params(const MSG *m) {
    return {m->param, m->param + 28};
}
Bytes ident(Bytes head, const std::string &text) {
    head.insert(head.end(), text.begin(), text.end());
    head.resize(28, 0);
    return head;
}

TEST(Ident, BuildIdent) {
    alignas(8) uint8_t bytes[PXR_MSG_HEADER_SIZE + 40];
    std::memset(bytes, 0xEE, sizeof bytes);
    MSG *m = reinterpret_cast<MSG *>(bytes);
    m->len = 27;
    EXPECT_EQ(ID_build_ident(m, 0x0102, 3, 4, "ABC"), 1);
    EXPECT_EQ(params(m), Bytes(28, 0xEE));

    m->len = 28;
    EXPECT_EQ(ID_build_ident(m, 0x0102, 3, 4, "ABC"), 0);
    EXPECT_EQ(params(m), ident({1, 2, 3, 4}, "ABC"));
    EXPECT_EQ(m->param[28], 0xEE);
    EXPECT_EQ(ID_build_ident(m, 0xFFFF, 0xFF, 0, "abcdefghijklmnopqrstuvwxyz1234"), 0);
    EXPECT_EQ(params(m), ident({0xFF, 0xFF, 0xFF, 0}, "abcdefghijklmnopqrstuvw"));
}

class IdentTest : public pxrtest::IpcTest {};

TEST_F(IdentTest, RequestFromAnotherProcessAndAnswer) {
    pxrtest::EnvSpec layout;
    layout.buffers0 = 1; // the request must clear what the buffer held
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    MSG *dirty = getm(1, 0, 0, 64);
    std::memset(dirty->param, 0xA5, 64);
    relm(dirty);
    ASSERT_EQ(IPC_create(0x20, 1), 0);
    ASSERT_EQ(IPC_create(0x23, 1), 0);

    ASSERT_EQ(pxrtest::run_child([] { return PXR_unlink() + ID_req_ident(0x23, 0x20, 7); }), 0);
    MSG *req = PXR_grab(0x20);
    ASSERT_EQ(req, dirty);
    EXPECT_EQ(std::tuple(req->type, req->id, req->src, req->dst),
              std::tuple(0x6111, 7, 0x23, 0x20));
    EXPECT_EQ(req->reply_mask, 0x0008); // bit (0x23 & 15)
    EXPECT_EQ(req->msg_class | req->status | req->info | req->instance, 0u);
    EXPECT_EQ(req->len, 28);
    EXPECT_EQ(params(req), Bytes(28, 0));

    EXPECT_EQ(ID_build_ident(req, 0xBEEF, 1, 2, "module-20"), 0);
    EXPECT_EQ(confirm_msg(req), 0);
    MSG *answer = PXR_grab(0x23);
    ASSERT_EQ(answer, req);
    EXPECT_EQ(std::tuple(answer->type, answer->src, answer->dst, answer->reply_mask),
              std::tuple(0x2111, 0x20, 0x23, 0));
    EXPECT_EQ(params(answer), ident({0xBE, 0xEF, 1, 2}, "module-20"));
    relm(answer);

    // A request that cannot be sent is released.
    EXPECT_EQ(ID_req_ident(0x13, 0x44, 1), -1);
    EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
}

} // namespace
