// Support for tests that use the environment's System V objects and real processes. It brings
// in what such tests use throughout: the library's internals, the System V calls, signals and
// waiting for children.
#pragma once

#include "env/pxr_internal.h"
#include "pxrlib.h"

#include <csignal>
#include <cstring>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace pxrtest {

// Removes every object of the environment's key plan that exists (semaphores, shared
// memory, module queues). Returns how many were removed.
int remove_environment_objects();

// Forks; the child runs body and exits with its result (0..255). Returns the child's pid.
pid_t start_child(const std::function<int()> &body);
// Waits for a child: its exit status, or 128 + signal number when a signal ended it.
int wait_child(pid_t pid);
// start_child + wait_child.
int run_child(const std::function<int()> &body);

// Runs fn with standard output (or standard error) redirected and returns what it wrote.
std::string capture_stdout(const std::function<void()> &fn);
std::string capture_stderr(const std::function<void()> &fn);

// A fresh directory under /tmp, removed with its contents when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const char *name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The pxr tool: exit status (128 + signal number when a signal ended it) and its output.
struct PxrRun {
    int code = -1;
    std::string out, err;
};
// Starts pxr with args, its output going to files in dir; finish_pxr collects it.
pid_t start_pxr(const TempDir &dir, const std::vector<std::string> &args);
PxrRun finish_pxr(const TempDir &dir, pid_t pid);
PxrRun run_pxr(const TempDir &dir, const std::vector<std::string> &args);

// Path of a test program built beside the tests.
std::string program_path(const char *name);

// Creates an environment as a loader would, with partition 0 (and 1 when buffers1 > 0),
// and marks it running without blocking in PXR_wait_exit, so that children can attach.
// Returns false (with a gtest failure) when any step fails.
struct EnvSpec {
    uint32_t init_flags = 0; // PXR_INIT_CREATE is added
    uint32_t congestion_module = 0;
    int32_t buffers0 = 16;
    uint32_t size0 = 64;
    uint32_t onset0 = 0;
    uint32_t abate0 = 0;
    int32_t buffers1 = 0;
    uint32_t size1 = 256;
    uint32_t onset1 = 0;
    uint32_t abate1 = 0;
    uint32_t ring_capacity = 0; // nonzero: PXR_ring_queues before the environment runs
    bool running = true;        // false: the test admits attachers itself (PXR_admit_attachers)
};
bool create_running_environment(const EnvSpec &layout);

// A pipe through which a child says it has reached a point.
struct Ready {
    int fds[2] = {-1, -1};
    Ready() { EXPECT_EQ(pipe(fds), 0); }
    ~Ready() { close(fds[0]), close(fds[1]); }
    void signal() { (void)!write(fds[1], "x", 1); }
    bool wait(int ms = -1) { // false when nothing came within ms (-1: no limit)
        pollfd p = {fds[0], POLLIN, 0};
        char c;
        return poll(&p, 1, ms) == 1 && read(fds[0], &c, 1) == 1;
    }
};

// Base fixture: starts from a clean key plan and removes everything again afterwards.
class IpcTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// IpcTest with an environment of the default layout (EnvSpec{}) already running.
class RunningEnvTest : public IpcTest {
  protected:
    void SetUp() override;
};

} // namespace pxrtest
