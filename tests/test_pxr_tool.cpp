// The pxr command run as a real program inside the test's private IPC namespace: a whole
// load from file to removal, the exit status it derives, signals, the queries, and clean
// after a loader that was killed.
#include "ipc_test.h"
#include "tool.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    unlink(path.c_str());
    return s.str();
}

// Writes text to a fresh temporary file and returns its path.
std::string temp_file(const std::string &text) {
    char path[] = "/tmp/pxr-tool-test-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
    return path;
}

// pxr started with args, its output going to two files.
struct Background {
    pid_t pid;
    std::string out = temp_file(""), err = temp_file("");
    explicit Background(const std::vector<std::string> &args) {
        std::fflush(nullptr);
        if ((pid = fork()) == 0) {
            dup2(open(out.c_str(), O_WRONLY | O_TRUNC), STDOUT_FILENO);
            dup2(open(err.c_str(), O_WRONLY | O_TRUNC), STDERR_FILENO);
            std::vector<char *> argv{const_cast<char *>(PXR_TOOL_PATH)};
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(PXR_TOOL_PATH, argv.data());
            _exit(127);
        }
    }
    Result finish() {
        int code = pxrtest::wait_child(pid);
        return {code, slurp(out), slurp(err)};
    }
};

Result run_pxr(const std::vector<std::string> &args) {
    return Background(args).finish();
}

bool wait_for_loader() {
    for (int i = 0; i < 500; ++i) {
        if (pxrtool::loader_waiting()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string child() {
    return pxrtest::program_path("tool_child");
}

// A loader whose one process waits on module 0x20 until the environment goes away.
std::string waiting_config() {
    return "environment congestion=0x10\n"
           "partition 0 buffers=8 size=16 onset=6 abate=3\n"
           "queue 0x20\n"
           "alias 0x10 0x20\n"
           "spawn " +
           child() + " wait 0x20\n";
}

class PxrTool : public pxrtest::IpcTest {};

TEST_F(PxrTool, ExitStatusFollowsTheEnvironment) {
    // Buffer exhaustion with fatal action 1 ends the environment with exit status -2.
    std::string conf = temp_file("environment fatal-action=1\n"
                                 "partition 0 buffers=4 size=16\n"
                                 "spawn " +
                                 child() + " exhaust\n");
    Result r = run_pxr({"load", "--timeout", "20", conf});
    unlink(conf.c_str());
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find("exit status -2"), std::string::npos) << r.err;
    EXPECT_EQ(pxrtest::remove_environment_objects(), 0);
}

TEST_F(PxrTool, QueriesSeeTheRunningEnvironmentAndSigintEndsIt) {
    std::string conf = temp_file(waiting_config());
    Background loader({"load", "--timeout", "30", conf});
    ASSERT_TRUE(wait_for_loader()) << loader.finish().err;

    Result q = run_pxr({"queues", "--json"});
    EXPECT_EQ(q.code, 0) << q.err;
    EXPECT_NE(q.out.find("{\"module\":16,\"kind\":\"alias\",\"target\":32"), std::string::npos)
        << q.out;
    EXPECT_NE(q.out.find("{\"module\":32,\"kind\":\"own\""), std::string::npos) << q.out;

    Result p = run_pxr({"procs"});
    EXPECT_EQ(p.code, 0) << p.err;
    EXPECT_NE(p.out.find("running  " + child().substr(0, 49)), std::string::npos) << p.out;

    Result s = run_pxr({"status", "--json"});
    EXPECT_EQ(s.code, 0) << s.err;
    EXPECT_NE(s.out.find("\"loader_waiting\":true"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("\"partition\":0,\"param_size\":16,\"buffers\":8"), std::string::npos)
        << s.out;
    s = run_pxr({"status"});
    EXPECT_NE(s.out.find("Congestion module Id:     0x10"), std::string::npos) << s.out;

    Result w = run_pxr({"watch", "1", "--count", "1"});
    EXPECT_EQ(w.code, 0) << w.err;
    EXPECT_NE(w.out.find("ALLOCS/S"), std::string::npos) << w.out;

    // A second loader and clean both refuse while this one runs.
    Result second = run_pxr({"load", conf});
    EXPECT_EQ(second.code, 69);
    EXPECT_NE(second.err.find("exists already"), std::string::npos) << second.err;
    Result clean = run_pxr({"clean"});
    EXPECT_EQ(clean.code, 1);
    EXPECT_NE(clean.err.find("is running"), std::string::npos) << clean.err;

    kill(loader.pid, SIGINT);
    Result done = loader.finish();
    unlink(conf.c_str());
    EXPECT_EQ(done.code, 128 + SIGINT) << done.err;
    EXPECT_EQ(pxrtest::remove_environment_objects(), 0);
}

TEST_F(PxrTool, TerminateEndsTheLoader) {
    std::string conf = temp_file(waiting_config());
    Background loader({"load", "--timeout", "30", conf});
    ASSERT_TRUE(wait_for_loader()) << loader.finish().err;
    Result t = run_pxr({"terminate"});
    EXPECT_EQ(t.code, 0) << t.err;
    Result done = loader.finish();
    unlink(conf.c_str());
    EXPECT_EQ(done.code, 0) << done.err;
    EXPECT_EQ(pxrtest::remove_environment_objects(), 0);
}

TEST_F(PxrTool, CleanAfterAKilledLoaderLetsANewLoadSucceed) {
    std::string conf = temp_file(waiting_config());
    Background loader({"load", conf});
    ASSERT_TRUE(wait_for_loader()) << loader.finish().err;
    kill(loader.pid, SIGKILL);
    EXPECT_EQ(loader.finish().code, 128 + SIGKILL);
    unlink(conf.c_str());

    Result refused = run_pxr({"load", "--timeout", "20", conf});
    EXPECT_EQ(refused.code, 65) << "the file is gone: " << refused.err;

    Result clean = run_pxr({"clean"});
    EXPECT_EQ(clean.code, 0) << clean.err;
    for (const char *what : {"removed module queue 0x20 (key 0xe0231", "removed exit semaphore",
                             "removed fatal-event semaphore", "removed partition 0 message array",
                             "removed partition 0 header", "removed partition 0 lock",
                             "removed common area", "removed system lock (key 0xe0410"})
        EXPECT_NE(clean.out.find(what), std::string::npos) << what << "\n" << clean.out;
    EXPECT_EQ(pxrtest::remove_environment_objects(), 0);
    EXPECT_NE(run_pxr({"clean"}).out.find("nothing to remove"), std::string::npos);

    std::string again = temp_file("partition 0 buffers=4 size=16\nqueue 0x20\nspawn " + child() +
                                  " terminate 0x20\n");
    Result r = run_pxr({"load", "--timeout", "20", again});
    unlink(again.c_str());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(pxrtest::remove_environment_objects(), 0);
}

TEST_F(PxrTool, WithoutEnvironmentEveryQuerySaysSo) {
    for (const char *cmd : {"status", "msgs", "queues", "procs", "watch", "terminate"}) {
        Result r = run_pxr({cmd});
        EXPECT_EQ(r.code, 1) << cmd;
        EXPECT_NE(r.err.find("no environment is running"), std::string::npos) << cmd << r.err;
    }
    EXPECT_EQ(run_pxr({}).code + run_pxr({"frobnicate"}).code, 128);
    EXPECT_EQ(run_pxr({"status", "--bogus"}).code, 64);
}

} // namespace
