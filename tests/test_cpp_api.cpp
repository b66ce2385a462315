// The C++ interface: who owns a buffer when, and the loader-side environment object.
#include "ipc_test.h"
#include "pxr.hpp"

#include "env/pxr_internal.h"

#include <algorithm>
#include <sys/sem.h>
#include <sys/shm.h>

namespace {

constexpr uint8_t kModule = 0x20;

class CppApi : public pxrtest::IpcTest {
  protected:
    void SetUp() override {
        IpcTest::SetUp();
        pxrtest::EnvSpec layout;
        layout.buffers0 = 4;
        layout.size0 = 32;
        ASSERT_TRUE(pxrtest::create_running_environment(layout));
        ASSERT_EQ(IPC_create(kModule, 1), 0);
    }
    static uint32_t allocated() { return partition_hdr[0]->alloc_count; }
};

TEST_F(CppApi, HandleReleasesItsBufferOnScopeExitAndMovesOwnership) {
    {
        auto m = pxr::allocate(0x100, 1, 0, 8);
        ASSERT_TRUE(m.has_value());

        pxr::message moved = std::move(*m);
        EXPECT_FALSE(*m); // the moved-from handle owns nothing and releases nothing

        pxr::message other(getm(0x100, 2, 0, 0));
        other = std::move(moved); // the buffer other held is released now
        EXPECT_EQ(allocated(), 1u);
        EXPECT_EQ(other.id(), 1);
    }
    EXPECT_EQ(allocated(), 0u);

    // release() hands the buffer back to C code, which must give it back itself.
    MSG *raw = nullptr;
    {
        auto m = pxr::allocate(0x100, 3, 0, 0);
        ASSERT_TRUE(m.has_value());
        raw = m->release();
    }
    EXPECT_EQ(allocated(), 1u);
    EXPECT_EQ(relm(raw), 0);
    EXPECT_EQ(allocated(), 0u);
}

TEST_F(CppApi, SentBufferBelongsToTheReceiverAndFailedSendKeepsIt) {
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
        pxr::shared(common_ptr->flags).fetch_or(CA_NO_TRAFFIC);
        EXPECT_EQ(pxr::send(kModule, *m), pxr::error::traffic_forbidden);
        pxr::shared(common_ptr->flags).fetch_and(~CA_NO_TRAFFIC);
        EXPECT_EQ(m->id(), 8);
        EXPECT_EQ(PXR_pending_msgs(kModule), 0);
    }
    EXPECT_EQ(allocated(), 0u);

    pxr::message empty;
    EXPECT_EQ(pxr::send(kModule, empty), pxr::error::empty_handle);
}

class CppEnvironment : public pxrtest::IpcTest {};

TEST_F(CppEnvironment, CreatesAndRemovesEverything) {
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
        EXPECT_EQ(pxr::environment::create({}, &why), std::nullopt);
        EXPECT_EQ(why, pxr::error::exists);
    }
    EXPECT_EQ(common_ptr, nullptr);
    EXPECT_EQ(pxrtest::remove_environment_objects(), 0);
}

} // namespace
