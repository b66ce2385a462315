// Processes killed with SIGKILL while holding a lock, in the middle of allocation and release,
// and the loader itself: the environment goes on (or can be removed and started again) and the
// check accounts for every buffer. A killed holder's buffers: test_check and the reclaim cases.
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

} // namespace
