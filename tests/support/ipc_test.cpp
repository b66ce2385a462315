#include "ipc_test.h"

#include "env/pxr_internal.h"
#include "tool.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <fcntl.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pxrtest {

namespace {

std::string capture_fd(int fd, FILE *stream, const std::function<void()> &fn) {
    char path[] = "/tmp/pxrtest-capture-XXXXXX";
    int tmp = mkstemp(path);
    if (tmp < 0) return {};
    unlink(path);
    fflush(stream);
    int saved = dup(fd);
    dup2(tmp, fd);
    fn();
    fflush(stream);
    dup2(saved, fd);
    close(saved);
    std::string out;
    lseek(tmp, 0, SEEK_SET);
    char buf[4096];
    for (ssize_t n; (n = read(tmp, buf, sizeof buf)) > 0;) out.append(buf, std::size_t(n));
    close(tmp);
    return out;
}

} // namespace

int remove_environment_objects() {
    pxrtool::CleanResult r = pxrtool::clean_key_plan(false, nullptr);
    return r.found - r.failed;
}

pid_t start_child(const std::function<int()> &body) {
    fflush(nullptr); // every output stream, so that nothing buffered is written twice
    pid_t pid = fork();
    if (pid == 0) {
        int rc = body();
        fflush(nullptr);
        _exit(rc & 0xFF);
    }
    return pid;
}

int wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int run_child(const std::function<int()> &body) {
    return wait_child(start_child(body));
}

std::string capture_stdout(const std::function<void()> &fn) {
    return capture_fd(STDOUT_FILENO, stdout, fn);
}
std::string capture_stderr(const std::function<void()> &fn) {
    return capture_fd(STDERR_FILENO, stderr, fn);
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/pxrtest-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
    EXPECT_FALSE(path_.empty()) << "mkdtemp";
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

pid_t start_pxr(const TempDir &dir, const std::vector<std::string> &args) {
    return start_child([&] {
        dup2(open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        dup2(open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        std::vector<char *> argv{const_cast<char *>(PXR_TOOL_PATH)};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(PXR_TOOL_PATH, argv.data());
        return 127;
    });
}

PxrRun finish_pxr(const TempDir &dir, pid_t pid) {
    const int code = wait_child(pid);
    std::ostringstream out, err;
    out << std::ifstream(dir / "out").rdbuf(), err << std::ifstream(dir / "err").rdbuf();
    return {code, out.str(), err.str()};
}

PxrRun run_pxr(const TempDir &dir, const std::vector<std::string> &args) {
    return finish_pxr(dir, start_pxr(dir, args));
}

std::string program_path(const char *name) {
    return std::string(PXR_TEST_PROGRAM_DIR) + "/" + name;
}

bool create_running_environment(const EnvSpec &layout) {
    int rc = PXR_init(layout.init_flags | PXR_INIT_CREATE, 0, layout.congestion_module);
    EXPECT_EQ(rc, 0) << "PXR_init create";
    if (rc != 0) return false;
    int32_t form = (layout.init_flags & PXR_INIT_ATOMIC) ? PXR_OPEN_ATOMIC : 0;
    uint32_t r = PXR_open_partition(0, layout.buffers0, layout.size0, layout.onset0, layout.abate0,
                                    PXR_OPEN_CREATE | form);
    EXPECT_EQ(r, 0u) << "partition 0";
    if (r != 0) return false;
    if (layout.buffers1 > 0) {
        r = PXR_open_partition(1, layout.buffers1, layout.size1, layout.onset1, layout.abate1,
                               PXR_OPEN_CREATE | form);
        EXPECT_EQ(r, 0u) << "partition 1";
        if (r != 0) return false;
    }
    if (layout.ring_capacity != 0 && PXR_ring_queues(layout.ring_capacity) != 0) {
        ADD_FAILURE() << "PXR_ring_queues";
        return false;
    }
    // What PXR_wait_exit does first, without blocking the test.
    if (layout.running) PXR_admit_attachers();
    return true;
}

void IpcTest::SetUp() {
    remove_environment_objects();
}

void IpcTest::TearDown() {
    PXR_unlink();
    remove_environment_objects();
}

void RunningEnvTest::SetUp() {
    IpcTest::SetUp();
    ASSERT_TRUE(create_running_environment({}));
}

} // namespace pxrtest
