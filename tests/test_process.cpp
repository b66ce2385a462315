// The process table, spawning, stopping the recorded processes, and the signal events.
#include "ipc_test.h"

#include <chrono>

namespace {

using namespace pxrtest;

class Process : public RunningEnvTest {
  protected:
    // Nothing recorded by a test may be signalled: the fixture only detaches.
    void TearDown() override {
        if (common_ptr != nullptr) common_ptr->process_count = 0;
        RunningEnvTest::TearDown();
    }
};

TEST_F(Process, TableHoldsTwoHundredFiftyEntriesWithShortenedNames) {
    const std::string long_name(60, 'n');
    EXPECT_EQ(SYS_add_pid(0, "zero"), 1);
    EXPECT_EQ(SYS_add_pid(-5, "group"), 1);
    EXPECT_EQ(SYS_add_pid(1000, long_name.c_str()), 0);
    EXPECT_EQ(std::string(common_ptr->processes[0].name), long_name.substr(0, 49));
    for (int i = 1; i < PXR_MAX_PROCESSES; ++i) ASSERT_EQ(SYS_add_pid(1000 + i, "p"), 0) << i;
    EXPECT_EQ(SYS_add_pid(4242, "one too many"), 1);
    EXPECT_EQ(common_ptr->process_count, 250);
}

TEST_F(Process, SpawnOfAMissingProgramRecordsTheChildWhichReportsAndExits) {
    char prog[] = "pxr-no-such-program";
    char *argv[] = {prog, nullptr};
    int32_t pid = -1;
    int rc = -1, status = -1;
    std::string err = capture_stderr([&] {
        rc = SYS_spawn_process(0, argv, &pid);
        waitpid(pid, &status, 0);
    });
    ASSERT_EQ(rc, 0);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(status, 0); // exited with 0
    EXPECT_EQ((std::tuple{common_ptr->process_count, common_ptr->processes[0].pid}),
              (std::tuple{1, pid}));
    std::string first = "(" + std::to_string(pid) + ")SYS_spawn_process(" + prog + ") failed\n";
    EXPECT_EQ(err.rfind(first, 0), 0u) << err;
    EXPECT_NE(err.find("execvp() : : "), std::string::npos) << err;
}

// The caller handles SIGCHLD, as a loader does; the plain process dies of SIGTERM at once, so
// that signal arrives during the pause. The slow process's SIGTERM handler still gets its
// 100 ms before the SIGKILL.
TEST_F(Process, DeletePidsTerminatesWaitsAWholeSecondAndThenKillsWhatSurvives) {
    Ready ready, done;
    static int done_fd = -1;
    done_fd = done.fds[1];
    pid_t plain = start_child([] { return pause(); });
    auto with_handler = [&](void (*handler)(int)) {
        return start_child([&, handler] {
            if (SYS_add_signal(handler, 1) == nullptr) return 1;
            for (ready.signal();;) pause();
        });
    };
    pid_t stubborn = with_handler(SIG_IGN);
    pid_t slow = with_handler([](int) {
        usleep(100 * 1000);
        if (write(done_fd, "x", 1) != 1) _exit(1);
    });
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(ready.wait(10000)) << "a handler was refused";
    for (pid_t pid : {plain, stubborn, slow}) ASSERT_EQ(SYS_add_pid(pid, "p"), 0);
    struct sigaction sa {
    }, old{};
    sa.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGCHLD, &sa, &old), 0);

    EXPECT_EQ(SYS_add_signal(SIG_IGN, 0), nullptr);
    EXPECT_EQ(SYS_add_signal(SIG_IGN, 5), nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SYS_delete_pids(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)); // the whole one
    sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(wait_child(plain), 128 + SIGTERM);
    EXPECT_EQ(wait_child(stubborn), 128 + SIGKILL);
    EXPECT_EQ(wait_child(slow), 128 + SIGKILL);
    EXPECT_TRUE(done.wait(0)) << "the slow handler did not finish before the SIGKILL";
    EXPECT_EQ(common_ptr->process_count, 3); // the table is not changed
}

} // namespace
