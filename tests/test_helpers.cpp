// Message helpers, the identity request, and the C++ interface's ownership of buffers.
#include "ipc_test.h"
#include "pxr.hpp"

#include <vector>

namespace {

using namespace pxrtest;

using Bytes = std::vector<uint8_t>;

class Helpers : public IpcTest {};

TEST_F(Helpers, GetmResetsTheHeaderRelmFiltersTheClassConfirmAnswersOnlyWhenAsked) {
    // One buffer: every getm hands out the same buffer again.
    ASSERT_TRUE(create_running_environment({.buffers0 = 1, .size0 = 32}));
    ASSERT_EQ(IPC_create(0x12, 1), 0);
    PartitionHeader *h = partition_hdr[0];

    MSG *m = getm(0x6111, 7, 0x0040, 12);
    ASSERT_NE(m, nullptr);
    m->status = 4, m->info = 5, m->src = 0x21;
    memcpy(m->param, "abc", 3);
    EXPECT_EQ(PXR_set_instance(0xDEADBEEF, m), 0);
    EXPECT_EQ(PXR_get_instance(m), 0xDEADBEEFu);
    m->msg_class = 0x40; // bit 6: not a pool class, the buffer stays allocated
    EXPECT_EQ((std::tuple{relm(m), h->alloc_count}), (std::tuple{1, 1}));
    m->msg_class = 0x3F; // bits 3 to 5 are dropped
    EXPECT_EQ(relm(m), 0);
    EXPECT_EQ(relm(m), 1); // already free

    m = getm(2, 9, 0x0004, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ((std::tuple{m->msg_class, m->status, m->info, m->len}), (std::tuple{0, 0, 0, 0}));
    EXPECT_EQ(PXR_get_instance(m), 0u);
    // src, dst and the parameters keep what the buffer held
    EXPECT_EQ((std::tuple{m->src, memcmp(m->param, "abc", 3)}), (std::tuple{0x21, 0}));

    m->src = 0x12, m->dst = 0x30; // bit 2 of the reply mask: answered
    EXPECT_EQ(confirm_msg(m), 0);
    ASSERT_EQ(PXR_grab(0x12), m);
    EXPECT_EQ(m->reply_mask, 0);
    EXPECT_EQ((std::tuple{confirm_msg(m), h->alloc_count}),
              (std::tuple{0, 0}));           // the answer asks for nothing
    (m = getm(2, 9, 0x0002, 0))->src = 0x12; // bit 1 is not the sender's: no answer
    EXPECT_EQ(confirm_msg(m), 0);
    EXPECT_EQ((std::tuple{PXR_grab(0x12), h->alloc_count}), (std::tuple{nullptr, 0}));
    EXPECT_EQ(getm(2, 0, 0, 33), nullptr); // larger than the partition
    EXPECT_EQ((std::tuple{gett(), getr()}), (std::tuple{nullptr, nullptr}));
}

Bytes params(const MSG *m) {
    return {m->param, m->param + 28};
}
Bytes ident(Bytes head, const std::string &text) { // text: at most 24 bytes
    head.resize(28, 0);
    std::memcpy(head.data() + 4, text.data(), text.size());
    return head;
}

TEST_F(Helpers, IdentRequestFromAnotherProcessAndAnswer) {
    // One buffer, dirty: the request must clear what the buffer held.
    ASSERT_TRUE(create_running_environment({.buffers0 = 1}));
    MSG *dirty = getm(1, 0, 0, 64);
    std::memset(dirty->param, 0xA5, 64);
    relm(dirty);
    ASSERT_EQ(IPC_create(0x20, 1) + IPC_create(0x23, 1), 0);

    ASSERT_EQ(run_child([] { return PXR_unlink(), ID_req_ident(0x23, 0x20, 7); }), 0);
    MSG *req = PXR_grab(0x20);
    ASSERT_EQ(req, dirty);
    EXPECT_EQ(std::tuple(req->type, req->id, req->src, req->dst, req->reply_mask, req->len,
                         req->msg_class | req->status | req->info | req->instance),
              std::tuple(0x6111, 7, 0x23, 0x20, 0x0008, 28, 0u)); // mask: bit (0x23 & 15)
    EXPECT_EQ(params(req), Bytes(28, 0));

    req->len = 27; // too short for the answer: nothing is written
    EXPECT_EQ(ID_build_ident(req, 0xBEEF, 1, 2, "module-20"), 1);
    EXPECT_EQ(params(req), Bytes(28, 0));
    req->len = 28; // the name is cut at 23 characters
    EXPECT_EQ(ID_build_ident(req, 0xBEEF, 1, 2, "module-20-abcdefghijklmnop"), 0);
    EXPECT_EQ(confirm_msg(req), 0);
    MSG *answer = PXR_grab(0x23);
    ASSERT_EQ(answer, req);
    EXPECT_EQ(std::tuple(answer->type, answer->src, answer->dst, answer->reply_mask),
              std::tuple(0x2111, 0x20, 0x23, 0));
    EXPECT_EQ(params(answer), ident({0xBE, 0xEF, 1, 2}, "module-20-abcdefghijklm"));
    relm(answer);

    // A request that cannot be sent is released.
    EXPECT_EQ(ID_req_ident(0x13, 0x44, 1), -1);
    EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
}

constexpr uint8_t kModule = 0x20;
uint32_t allocated() {
    return partition_hdr[0]->alloc_count;
}

TEST_F(Helpers, CppSentBufferBelongsToTheReceiverAndFailedSendKeepsIt) {
    ASSERT_TRUE(create_running_environment({.buffers0 = 4, .size0 = 32}));
    ASSERT_EQ(IPC_create(kModule, 1), 0);
    {
        auto m = pxr::allocate(0x100, 7, 0, 4);
        ASSERT_TRUE(m.has_value());
        m->set_route(0x21, kModule);
        EXPECT_EQ(pxr::send(kModule, *m), pxr::error::none);
        EXPECT_FALSE(*m);
    }
    EXPECT_EQ(allocated(), 1u) << "a sent buffer is not released by the sender's handle";
    {
        auto in = pxr::grab(kModule);
        ASSERT_TRUE(in.has_value());
        EXPECT_EQ(in->src(), 0x21);
    }
    EXPECT_EQ(allocated(), 0u);
    EXPECT_FALSE(pxr::grab(kModule).has_value());

    // A refused send leaves the buffer with the handle, which still releases it.
    {
        auto m = pxr::allocate(0x100, 8, 0, 4);
        ASSERT_TRUE(m.has_value());
        pxr_impl::shared(common_ptr->flags).fetch_or(CA_NO_TRAFFIC);
        EXPECT_EQ(pxr::send(kModule, *m), pxr::error::traffic_forbidden);
        pxr_impl::shared(common_ptr->flags).fetch_and(~CA_NO_TRAFFIC);
        EXPECT_EQ((std::tuple{m->id(), PXR_pending_msgs(kModule)}), (std::tuple{8, 0}));
    }
    EXPECT_EQ(allocated(), 0u);

    pxr::message empty;
    EXPECT_EQ(pxr::send(kModule, empty), pxr::error::empty_handle);

    // Spans: what went is the receiver's, what did not stays with its handle.
    std::vector<pxr::message> out(5), in(5);
    ASSERT_EQ(pxr::allocate(std::span(out).first(4), 0x100, 9, 0, 4), 4u);
    out[2].reset();
    pxr::error why = pxr::error::none;
    EXPECT_EQ(pxr::send(kModule, out, &why), 2u);
    EXPECT_EQ(std::tuple(why, bool(out[0]), bool(out[3]), allocated()),
              std::tuple(pxr::error::empty_handle, false, true, 3u));
    EXPECT_EQ(pxr::receive(kModule, in, std::chrono::milliseconds(0)), 2u);
    EXPECT_EQ(std::tuple(in[0].id(), bool(in[1]), bool(in[2])), std::tuple(9, true, false));
}

TEST_F(Helpers, CppEnvironmentCreatesAndRemovesEverything) {
    pxr::error why = pxr::error::none;
    {
        auto env = pxr::environment::create({.atomic = true, .congestion_module = 0x10}, &why);
        ASSERT_TRUE(env.has_value());
        EXPECT_EQ(env->add_partition(0, 8, 16), pxr::error::none);
        EXPECT_EQ(env->add_partition(0, 8, 16), pxr::error::partition_failed);
        EXPECT_EQ(env->add_queue(0x10), pxr::error::none);
        EXPECT_EQ(env->add_alias(0x11, 0x10), pxr::error::none);
        EXPECT_EQ(env->add_alias(0x12, 0x13), pxr::error::alias_failed);
        EXPECT_EQ(common_ptr->atomic_mode & 1, 1u);
        EXPECT_EQ(partition_hdr[0]->free_tail, 6u) << "the atomic form leaves one buffer behind";

        // The creator can hand the environment on; only the last owner closes it.
        pxr::environment owner = std::move(*env);
        EXPECT_FALSE(pxr::environment::create({}, &why));
        EXPECT_EQ(why, pxr::error::exists);
    }
    EXPECT_EQ((std::tuple{common_ptr, remove_environment_objects()}), (std::tuple{nullptr, 0}));
}

} // namespace
