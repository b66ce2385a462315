// The receive spin window and the receive with a time limit, across real processes.
#include "ipc_test.h"
#include "pxr.hpp"

#include "env/ring_queues.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sys/resource.h>

namespace {

using namespace std::chrono_literals;
constexpr uint32_t kRecv = 5;

double cpu_ms() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// A child sending count messages, each after pause_ms, each behind a forged record if asked.
pid_t start_sender(int count, int pause_ms, bool forged = false) {
    const int qid = int(common_ptr->module_queues[kRecv].msqid);
    return pxrtest::start_child([=] {
        PXR_unlink(); // the rings too: they are looked for again after the attach
        if (PXR_link() != 0) return 3;
        const pxr_impl::ring::View ring = pxr_impl::ring_of_queue(kRecv, uint32_t(qid));
        for (int i = 0; i < count; ++i) {
            usleep(useconds_t(pause_ms) * 1000);
            const long rec[3] = {1, 7L << 16, 0}; // index 0 of partition 7
            if (forged && !(ring ? pxr_impl::ring::push(ring, 7u << 16) == pxr_impl::ring::Put::done
                                 : msgsnd(qid, &rec, 12, 0) == 0))
                return 1;
            MSG *m = getm(1, uint16_t(i), 0, 0);
            if (m == nullptr || PXR_send(kRecv, m) != 0) return 2;
        }
        return 0;
    });
}

// Over kernel queues and over ring queues.
class TransportSpin : public pxrtest::IpcTest, public ::testing::WithParamInterface<uint32_t> {
  protected:
    void SetUp() override {
        IpcTest::SetUp();
        ASSERT_TRUE(
            pxrtest::create_running_environment({.buffers0 = 32, .ring_capacity = GetParam()}));
        ASSERT_EQ(IPC_create(kRecv, 1), 0);
    }
};
INSTANTIATE_TEST_SUITE_P(KernelAndRing, TransportSpin, ::testing::Values(0u, 1024u));

// A record during the poll and one after the window: either way a forged record is dropped
// (null, still attached) and the next one is taken and stamped.
TEST_P(TransportSpin, TakesRecordsDuringAndAfterTheWindow) {
    for (const auto &[window_us, send_after_ms] : {std::pair{400000u, 60}, {5000u, 300}}) {
        ASSERT_EQ(PXR_set_receive_spin(window_us), 0);
        const double cpu0 = cpu_ms();
        pid_t sender = start_sender(1, send_after_ms, true);
        EXPECT_EQ(PXR_receive(kRecv), nullptr);
        EXPECT_EQ(PXR_sys_failure, 0);
        const double spent = cpu_ms() - cpu0;
        MSG *m = PXR_receive(kRecv);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(pxr_impl::slot_of(m)->receive_pid, getpid());
        EXPECT_EQ(pxr_impl::slot_of(m)->send_pid, sender);
        relm(m);
        EXPECT_EQ(pxrtest::wait_child(sender), 0);
        EXPECT_LT(window_us <= 5000 ? spent : 0.0, 100.0); // the long poll's cost varies
    }
}

// Records 50 ms apart never come within a 5 ms window: it gives up after a few losses.
TEST_P(TransportSpin, IdleReceiverStopsPolling) {
    ASSERT_EQ(PXR_set_receive_spin(5000), 0);
    const double cpu0 = cpu_ms();
    pid_t sender = start_sender(20, 50);
    for (int i = 0; i < 20; ++i) {
        MSG *m = PXR_receive(kRecv);
        ASSERT_NE(m, nullptr);
        relm(m);
    }
    EXPECT_EQ(pxrtest::wait_child(sender), 0);
    EXPECT_LT(cpu_ms() - cpu0, 200.0); // of about a second: under 20% of a core
}

TEST_P(TransportSpin, TimedReceiveExpiresOrTakesTheRecord) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(PXR_timed_receive(kRecv, 60), nullptr);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 60ms);
    EXPECT_FALSE(pxr::receive(kRecv, 1ms));
    EXPECT_EQ(errno, ETIMEDOUT);
    ASSERT_EQ(IPC_attach(7, kRecv), 0);
    EXPECT_EQ(PXR_timed_receive(7, 10), nullptr); // an alias: no queue
    EXPECT_EQ(errno, EINVAL);

    pid_t sender = start_sender(1, 50);
    auto m = pxr::receive(kRecv, 20s);
    ASSERT_TRUE(m);
    EXPECT_EQ(pxr_impl::slot_of(m->get())->send_pid, sender);
    EXPECT_EQ(pxrtest::wait_child(sender), 0);
}

// The window comes from a call, or from the creator's default when a fresh process attaches
// (the checker re-executes this binary: a forked child would keep the parent's choice).
TEST_P(TransportSpin, WindowFromCallOrTheEnvironmentDefault) {
    const uint32_t own = PXR_get_receive_spin();
    ASSERT_EQ(PXR_set_default_receive_spin(1000001), -1);
    ASSERT_EQ(PXR_set_default_receive_spin(70), 0);
    EXPECT_EQ(PXR_get_receive_spin(), own); // the creator keeps its own
    for (const char *choose : {"", "5"}) {
        const int rc = pxrtest::run_child([&] {
            setenv("PXR_SPIN_EXPECT", *choose != 0 ? choose : "70", 1);
            setenv("PXR_SPIN_CHOOSE", choose, 1);
            const char *self = "/proc/self/exe";
            execl(self, self, "--gtest_filter=TransportSpinSettings.*", nullptr);
            return 99;
        });
        EXPECT_EQ(rc, 0) << "choosing '" << choose << "'";
    }
    EXPECT_EQ(PXR_set_receive_spin(1000001), -1);
    EXPECT_EQ(PXR_set_receive_spin(50), 0);
    EXPECT_FALSE(pxr::set_receive_spin(2s));
    EXPECT_EQ(pxr::receive_spin(), 50us);
}

// Run only by the test above, in a fresh process that attaches to its environment.
TEST(TransportSpinSettings, Checker) {
    const char *want = getenv("PXR_SPIN_EXPECT");
    if (want == nullptr) GTEST_SKIP() << "started by WindowFromCallOrTheEnvironmentDefault";
    if (const char *choose = getenv("PXR_SPIN_CHOOSE"); *choose != 0)
        PXR_set_receive_spin(uint32_t(atol(choose)));
    ASSERT_EQ(PXR_link(), 0);
    EXPECT_EQ(PXR_get_receive_spin(), uint32_t(atol(want)));
    EXPECT_EQ(PXR_set_default_receive_spin(9), -1); // not the creator
    PXR_unlink();
}

} // namespace
