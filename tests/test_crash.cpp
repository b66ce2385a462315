// Processes killed with SIGKILL while holding a lock, in the middle of allocation and release,
// and the loader itself: the environment goes on (or can be removed and started again) and the
// check accounts for every buffer. A killed holder's buffers: test_check and the reclaim cases.
#include "ipc_test.h"

#include "check.h"
#include "env/pxr_internal.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <vector>
#include <unistd.h>

namespace {

class CrashTest : public pxrtest::IpcTest {};

// A pipe through which a child says it has reached the point where it is to be killed.
struct Ready {
    int fds[2] = {-1, -1};
    Ready() { EXPECT_EQ(pipe(fds), 0); }
    ~Ready() { close(fds[0]), close(fds[1]); }
    void signal() { (void)!write(fds[1], "x", 1); }
    bool wait() {
        char c;
        return read(fds[0], &c, 1) == 1;
    }
};

void kill_and_reap(pid_t pid) {
    kill(pid, SIGKILL);
    EXPECT_EQ(pxrtest::wait_child(pid), 128 + SIGKILL);
}

// Churning processes are killed at random moments; every following allocation succeeds. The
// victims' buffers stay allocated to them; a kill while the free list changes may leave one
// buffer outside the list, which the check reports.
TEST_F(CrashTest, KillsInTheMiddleOfAllocationAndRelease) {
    for (uint32_t flags : {0u, uint32_t(PXR_INIT_ATOMIC)}) {
        pxrtest::remove_environment_objects();
        pxrtest::EnvSpec layout;
        layout.init_flags = flags;
        layout.buffers0 = 64;
        ASSERT_TRUE(pxrtest::create_running_environment(layout));
        for (int round = 0; round < 10; ++round) {
            Ready ready;
            pid_t churner = pxrtest::start_child([&] {
                PXR_unlink();
                if (getm(1, 0, 0, 8) == nullptr) return 1; // attach, and hold one for good
                ready.signal();
                for (;;)
                    if (MSG *m = getm(1, 0, 0, 8)) relm(m);
            });
            ASSERT_TRUE(ready.wait());
            usleep(2000 + 1500 * round);
            kill_and_reap(churner);
            ASSERT_EQ(pxrtest::run_child([] { // a fresh process gets a buffer in time
                          PXR_unlink();
                          alarm(5);
                          MSG *m = getm(1, 0, 0, 8);
                          return m != nullptr && relm(m) == 0 ? 0 : 1;
                      }),
                      0)
                << "round " << round;
        }
        pxrtool::EnvironmentCheck env;
        pxrtool::check_environment(env);
        const pxrtool::PartitionCheck &p = env.partitions[0];
        EXPECT_LE(p.in_neither + p.in_both, 10u); // at most one per kill
        for (const pxrtool::PidCount &c : p.allocators) EXPECT_FALSE(c.alive);
        EXPECT_GE(p.allocated, 10u); // the buffer each victim held for good
        PXR_unlink();
    }
}

// Senders into a ring queue killed at random moments: each sender's messages arrive once, in
// order and without a gap; a killed sender loses at most the message it was sending, and the
// queue goes on (a position reserved and never filled is skipped).
TEST_F(CrashTest, RingSendersKilledAtRandomLoseAtMostTheirLastMessage) {
    constexpr uint32_t kModule = 5;
    constexpr int kSenders = 40;
    ASSERT_TRUE(
        pxrtest::create_running_environment({.buffers0 = 1024, .size0 = 8, .ring_capacity = 16}));
    ASSERT_EQ(IPC_create(kModule, 1), 0);
    auto *handed =
        static_cast<uint32_t *>(mmap(nullptr, sizeof(uint32_t) * kSenders, PROT_READ | PROT_WRITE,
                                     MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(handed, MAP_FAILED); // messages each sender began to send
    std::vector<uint32_t> received(kSenders, 0);
    int disorder = 0;
    auto receive_for = [&](int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end)
            if (MSG *m = PXR_timed_receive(kModule, 1)) {
                if (m->instance != received[m->type]++) ++disorder;
                relm(m);
            }
    };
    for (uint16_t k = 0; k < kSenders; ++k) {
        pid_t sender = pxrtest::start_child([k, handed] {
            for (uint32_t n = 0;; ++n) {
                MSG *m;
                while ((m = getm(k, 0, 0, 4)) == nullptr) usleep(100);
                m->instance = n;
                std::atomic_ref<uint32_t>(handed[k]).store(n + 1);
                while (PXR_send(kModule, m) != 0) usleep(50);
            }
            return 0;
        });
        receive_for(1 + k % 5);
        kill_and_reap(sender);
    }
    receive_for(100);
    EXPECT_EQ(disorder, 0);
    for (int k = 0; k < kSenders; ++k) {
        EXPECT_LE(received[k], handed[k]) << k;
        EXPECT_GE(received[k] + 1, handed[k]) << k;
    }
    munmap(handed, sizeof(uint32_t) * kSenders);
}

} // namespace
