// Failures of the lock protocol, send, receive and attach in real processes: fault_app runs with
// the fault shim preloaded, which makes chosen System V calls fail. The shared state must stay
// consistent.
#include "ipc_test.h"

#include "check.h"
#include "env/pxr_internal.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint32_t kQueue = 10;

struct AppRun {
    int status = -1;
    std::string out, err;
    std::map<std::string, long> kv;
    long operator[](const std::string &key) const {
        auto it = kv.find(key);
        return it == kv.end() ? -999 : it->second;
    }
};

// Runs fault_app OP with the shim preloaded and PXR_FAULT=fault, armed by the app itself.
std::string read_all(FILE *f) {
    std::string text;
    char buf[512];
    while (f != nullptr && std::fgets(buf, sizeof buf, f) != nullptr) text += buf;
    return text;
}

AppRun run_app(const char *op, const std::string &fault) {
    char errpath[] = "/tmp/pxr-fault-err-XXXXXX";
    close(mkstemp(errpath));
    const std::string cmd = "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" +
                            pxrtest::program_path("libpxr_fault_shim.so") +
                            " PXR_FAULT_ARM=manual PXR_FAULT='" + fault + "' " +
                            pxrtest::program_path("fault_app") + " " + op + " 2>" + errpath;
    AppRun r;
    std::fflush(nullptr);
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    r.out = read_all(p);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    if (FILE *e = std::fopen(errpath, "r")) r.err = read_all(e), std::fclose(e);
    unlink(errpath);
    std::istringstream words(r.out);
    for (std::string w; words >> w;) {
        auto eq = w.find('=');
        if (eq != std::string::npos)
            r.kv[w.substr(0, eq)] = std::strtol(w.c_str() + eq + 1, nullptr, 10);
    }
    return r;
}

// The integrity check must pass; returns the partition 0 report.
pxrtool::PartitionCheck consistent_state() {
    pxrtool::EnvironmentCheck env;
    const int rc = pxrtool::check_environment(env);
    EXPECT_EQ(rc, 0);
    if (rc != 0) pxrtool::print_check(stdout, env);
    return env.partitions[0];
}

class FaultTest : public pxrtest::IpcTest {
  protected:
    void start(uint32_t init_flags = 0) {
        pxrtest::EnvSpec layout;
        layout.init_flags = init_flags;
        ASSERT_TRUE(pxrtest::create_running_environment(layout));
        ASSERT_EQ(IPC_create(kQueue, 1), 0);
    }
};

TEST_F(FaultTest, LockFailureDetachesAndFlagsTheProcess) {
    start();
    AppRun r = run_app("getm", ""); // the shim alone changes nothing
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r["result"], 1);
    EXPECT_EQ(r["semop"], 2); // take and give back the partition lock

    // The partition lock cannot be taken: no buffer, detached, flagged.
    r = run_app("getm", "semop:EIDRM:1");
    EXPECT_EQ(r["result"], 0) << r.out << r.err;
    EXPECT_EQ(r["sys_failure"], 1);
    EXPECT_EQ(r["attached"], 0);
    EXPECT_EQ(consistent_state().allocated, 0u);

    // Interrupted: repeated, the allocation succeeds.
    for (const char *fault : {"semop:EINTR:1:3"}) {
        r = run_app("getm", fault);
        EXPECT_EQ(r["result"], 1) << fault;
        EXPECT_EQ(r["sys_failure"], 0) << fault;
        EXPECT_EQ(r["semop"], 5) << fault; // three failures, then take and give back
    }

    // Giving the lock back fails: the buffer taken stays marked allocated to the process, and
    // the kernel frees the lock when the process ends.
    r = run_app("getm", "semop:EIDRM:2");
    EXPECT_EQ(r["result"], 0) << r.out;
    EXPECT_EQ(r["sys_failure"], 1);
    MSG *m = getm(1, 0, 0, 8);
    ASSERT_NE(m, nullptr) << "partition lock still held";
    relm(m);
    pxrtool::PartitionCheck p = consistent_state();
    EXPECT_EQ(p.allocated, 1u);

    // A release whose lock fails leaves the buffer allocated; nothing is lost.
    r = run_app("relm", "semop:EIDRM:1");
    EXPECT_EQ(r["result"], 1) << r.out;
    EXPECT_EQ(r["sys_failure"], 1);
    p = consistent_state();
    EXPECT_EQ(p.allocated, 2u);
    for (const pxrtool::PidCount &c : p.allocators) EXPECT_FALSE(c.alive);
}

TEST_F(FaultTest, SendRetriesAFullQueueFiveTimes) {
    start(PXR_INIT_ERROR_PRINT);
    // Six refusals: five retries, then failure, one internal error, the message reported.
    AppRun r = run_app("send", "msgsnd:EAGAIN:1:6");
    EXPECT_EQ(r["result"], -1) << r.out;
    EXPECT_EQ(r["msgsnd"], 6);
    EXPECT_EQ(r["errors"], 1);
    EXPECT_NE(r.err.find("PXR_send() msgsnd(): Resource temporarily unavailable"),
              std::string::npos)
        << r.err;

    // {fault, result, msgsnd calls, errors so far}: no kernel memory counts like a full queue,
    // interruptions are repeated without counting as retries, any other error ends the send.
    const struct {
        const char *fault;
        long result, calls, errors;
    } rows[] = {{"msgsnd:ENOMEM:1:5", 0, 6, 1},
                {"msgsnd:EINTR:1:40", 0, 41, 1},
                {"msgsnd:EIDRM:1", -1, 1, 2}};
    for (const auto &row : rows) {
        r = run_app("send", row.fault);
        EXPECT_EQ(r["result"], row.result) << row.fault << r.out;
        EXPECT_EQ(r["msgsnd"], row.calls) << row.fault;
        EXPECT_EQ(r["errors"], row.errors) << row.fault;
        EXPECT_EQ(r["sys_failure"], 0) << row.fault; // a send failure does not detach
    }

    // The two messages sent are waiting; the failed ones were released by their sender.
    EXPECT_EQ(PXR_pending_msgs(kQueue), 2);
    for (MSG *m; (m = PXR_grab(kQueue)) != nullptr;) relm(m);
    consistent_state();
}

TEST_F(FaultTest, ReceiveFailureDetachesAndTheProcessGoesOn) {
    start();
    MSG *m = getm(0x100, 1, 0, 0);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(PXR_send(kQueue, m), 0);

    // The queue call fails for good: null, detached, flagged; the record stays in the queue
    // and the next receive (attaching again) gets it.
    AppRun r = run_app("grab", "msgrcv:EIDRM:1");
    EXPECT_EQ(r["result"], 0) << r.out;
    EXPECT_EQ(r["sys_failure"], 1);
    EXPECT_EQ(r["attached"], 0);
    EXPECT_EQ(r["again"], 1);

    // An interrupted wait and an empty queue are ordinary: null, still attached.
    m = getm(0x100, 2, 0, 0);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(PXR_send(kQueue, m), 0);
    r = run_app("receive", "msgrcv:EINTR:1");
    EXPECT_EQ(r["result"], 0) << r.out;
    EXPECT_EQ(r["sys_failure"], 0);
    EXPECT_EQ(r["attached"], 1);
    EXPECT_EQ(r["again"], 1);
    r = run_app("grab", "msgrcv:ENOMSG:1");
    EXPECT_EQ(r["result"], 0) << r.out;
    EXPECT_EQ(r["attached"], 1);

    EXPECT_EQ(PXR_pending_msgs(kQueue), 0);
    EXPECT_EQ(consistent_state().allocated, 0u);
}

TEST_F(FaultTest, AttachFailuresLeaveTheEnvironmentIntact) {
    start();
    // The common area cannot be found: 3, and the system lock is given back.
    AppRun r = run_app("attach", "shmget:ENOMEM:1");
    EXPECT_EQ(r["result"], 3) << r.out;
    EXPECT_EQ(r["sys_failure"], 1);
    EXPECT_EQ(r["attached"], 0);
    // The system lock cannot be taken: 5.
    r = run_app("attach", "semop:EIDRM:1");
    EXPECT_EQ(r["result"], 5) << r.out;
    // Partition 0 exists but cannot be mapped: the attach fails; nothing is removed.
    r = run_app("attach", "shmat:ENOMEM:2");
    EXPECT_EQ(r["result"], 3) << r.out;
    EXPECT_EQ(r["p0"], 0);

    r = run_app("getm", "");
    EXPECT_EQ(r["result"], 1) << "a later process attaches normally: " << r.out;
    pxrtool::EnvironmentCheck env;
    EXPECT_EQ(pxrtool::check_environment(env), 0);
    EXPECT_TRUE(env.partitions[0].present);
}

} // namespace
