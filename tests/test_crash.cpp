// Processes killed with SIGKILL while holding a lock, while holding buffers in the middle of
// traffic, in the middle of allocation and release, and the loader itself: the environment goes
// on (or can be removed and started again) and the check accounts for every buffer.
#include "ipc_test.h"

#include "check.h"
#include "env/pxr_internal.h"

#include <csignal>
#include <string>
#include <sys/wait.h>
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

TEST_F(CrashTest, ConsumerKilledInTheMiddleOfTraffic) {
    constexpr uint32_t kVictim = 10, kSurvivor = 11;
    constexpr int kHeld = 3, kTraffic = 40;
    pxrtest::EnvSpec layout;
    layout.buffers0 = 32;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    ASSERT_EQ(IPC_create(kVictim, 1), 0);
    ASSERT_EQ(IPC_create(kSurvivor, 1), 0);

    Ready ready;
    pid_t victim = pxrtest::start_child([&] {
        PXR_unlink();
        for (int i = 0; i < kHeld; ++i)
            if (PXR_receive(kVictim) == nullptr) return 1; // received, never released
        ready.signal();
        pause();
        return 0;
    });
    pid_t survivor = pxrtest::start_child([] {
        PXR_unlink();
        alarm(10);
        int n = 0;
        for (;;) {
            MSG *m = PXR_receive(kSurvivor);
            if (m == nullptr) return 100;
            const bool stop = m->type == 0x1FF;
            relm(m);
            if (stop) return n == kTraffic ? 0 : 101;
            ++n;
        }
    });

    for (int i = 0; i < kHeld; ++i) {
        MSG *m = getm(0x100, uint16_t(i), 0, 0);
        ASSERT_EQ(PXR_set_instance(0xDEAD, m), 0);
        ASSERT_EQ(PXR_send(kVictim, m), 0);
    }
    ASSERT_TRUE(ready.wait());
    kill_and_reap(victim);

    for (int i = 0; i <= kTraffic; ++i) { // the last one says stop
        for (int wait = 0; PXR_pending_msgs(kSurvivor) > 8 && wait < 5000; ++wait) usleep(1000);
        ASSERT_EQ(PXR_send(kSurvivor, getm(i == kTraffic ? 0x1FF : 0x100, 0, 0, 0)), 0);
    }
    EXPECT_EQ(pxrtest::wait_child(survivor), 0);

    // The victim's buffers are listed, and the check names it as their receiver.
    std::string listing = pxrtest::capture_stdout([] { PXR_show_msgs(); });
    size_t lines = 0;
    for (size_t at = 0; (at = listing.find("M-Idead-t0100-", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, size_t(kHeld)) << listing;
    pxrtool::EnvironmentCheck env;
    EXPECT_EQ(pxrtool::check_environment(env), 0);
    const pxrtool::PartitionCheck &p = env.partitions[0];
    EXPECT_EQ(p.allocated, uint32_t(kHeld));
    ASSERT_EQ(p.receivers.size(), 1u);
    EXPECT_TRUE(p.receivers[0].pid == victim && p.receivers[0].buffers == uint32_t(kHeld) &&
                !p.receivers[0].alive);
}

} // namespace
