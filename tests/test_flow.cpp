// Waiting for room: the waiting allocation and the waiting send across real processes, over
// both pool forms and both queue forms.
#include "ipc_test.h"

#include "env/pxr_internal.h"
#include "pxr.hpp"

#include <chrono>
#include <sys/resource.h>
#include <tuple>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr uint32_t kServer = 5;

// {ring capacity (0: kernel queues), init flags (PXR_INIT_ATOMIC: lock-free pools)}
class Flow : public pxrtest::IpcTest,
             public ::testing::WithParamInterface<std::tuple<uint32_t, uint32_t>> {
  protected:
    void make_env(int32_t buffers) {
        ASSERT_TRUE(
            pxrtest::create_running_environment({.init_flags = std::get<1>(GetParam()),
                                                 .buffers0 = buffers,
                                                 .size0 = 64,
                                                 .ring_capacity = std::get<0>(GetParam())}));
        ASSERT_EQ(IPC_create(kServer, 1), 0);
    }
};
INSTANTIATE_TEST_SUITE_P(QueueAndPoolForms, Flow,
                         ::testing::Combine(::testing::Values(0u, 16u),
                                            ::testing::Values(0u, PXR_INIT_ATOMIC)));

double cpu_ms() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// An exhausted partition: the waiting allocation times out without a fatal event, and one in
// another process sleeps (no CPU to speak of) until a release here gives it the buffer.
TEST_P(Flow, WaitingAllocationTimesOutOrIsWokenByARelease) {
    make_env(4);
    std::vector<MSG *> held;
    uint32_t size = 8;
    for (MSG *m; PXR_try_getmem(0, &(size = 8), &m) == 0;) held.push_back(m);
    ASSERT_GE(held.size(), 3u);

    MSG *got = held[0];
    const uint32_t empty_looks = partition_hdr[0]->out_of_msg;
    const auto t0 = Clock::now();
    EXPECT_EQ(PXR_timed_getmem(0, &(size = 8), &got, 30), 1);
    EXPECT_GE(Clock::now() - t0, 30ms);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(partition_hdr[0]->out_of_msg, empty_looks + 1); // one wait, however many looks
    EXPECT_EQ(common_ptr->fatal_code, 0u);
    // Refusals, and a size no partition holds, answer at once.
    EXPECT_EQ(PXR_timed_getmem(0, &(size = 65), &got, 60000), 1);
    EXPECT_EQ(PXR_timed_getmem(8, &(size = 8), &got, 60000), -1);
    EXPECT_EQ(PXR_timed_getmem(0, &size, nullptr, 60000), -1);

    const pid_t waiter = pxrtest::start_child([] {
        uint32_t sz = 8;
        MSG *m = nullptr;
        const double cpu0 = cpu_ms();
        const int rc = PXR_timed_getmem(0, &sz, &m, 20000);
        return rc != 0 ? 1 : sz != 64 ? 2 : cpu_ms() - cpu0 > 50 ? 3 : 0;
    });
    usleep(300000);
    ASSERT_EQ(PXR_relmem(0, held.back()), 0u);
    EXPECT_EQ(pxrtest::wait_child(waiter), 0);
    EXPECT_FALSE(pxr::allocate(1, 2, 0, 8, 20ms)); // the waiter took it
    EXPECT_EQ(common_ptr->fatal_code, 0u);
    held.pop_back();
    for (MSG *m : held) relm(m);
    const auto cm = pxr::allocate(1, 2, 0, 8, 20ms);
    ASSERT_TRUE(cm);
    EXPECT_EQ((std::tuple{(*cm)->type, (*cm)->id, (*cm)->len}), (std::tuple{1, 2, 8}));
}

// A full queue: the waiting send times out keeping the buffer, counting and ending nothing;
// one waiting while another process receives is woken and sends.
TEST_P(Flow, WaitingSendTimesOutOrIsWokenByAReceive) {
    make_env(8);
    MSG *m = getm(3, 0, 0, 0);
    ASSERT_NE(m, nullptr);
    int sent = 0;
    while (PXR_timed_send(kServer, m, 0) == 0) ++sent; // the same reference, many times
    ASSERT_GT(sent, 0);
    const auto t0 = Clock::now();
    EXPECT_EQ(PXR_timed_send(kServer, m, 40), 1);
    EXPECT_GE(Clock::now() - t0, 40ms);
    EXPECT_EQ((std::tuple{common_ptr->internal_errors, common_ptr->exit_status}),
              (std::tuple{0u, 0}));

    const pid_t receiver = pxrtest::start_child([] {
        usleep(300000);
        return PXR_receive(kServer) != nullptr ? 0 : 1;
    });
    const double cpu0 = cpu_ms();
    EXPECT_EQ(PXR_timed_send(kServer, m, 20000), 0);
    EXPECT_LT(cpu_ms() - cpu0, 50);
    EXPECT_EQ(pxrtest::wait_child(receiver), 0);
    EXPECT_EQ(PXR_pending_msgs(kServer), sent);
    pxr::message h(m);
    EXPECT_EQ(pxr::send(kServer, h, 10ms), pxr::error::timed_out);
    EXPECT_TRUE(h);
}

} // namespace
