// Failures of System V calls in real processes: fault_app and lock_app run with the fault shim
// preloaded, which makes chosen calls fail. The shared state must stay consistent.
#include "ipc_test.h"

#include "check.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

namespace {

constexpr uint32_t kQueue = 10;

std::string read_all(FILE *f) {
    std::string text;
    char buf[512];
    while (f != nullptr && std::fgets(buf, sizeof buf, f) != nullptr) text += buf;
    return text;
}

// The "k=v" words of text.
std::map<std::string, long> words(const std::string &text) {
    std::map<std::string, long> kv;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        if (const auto eq = w.find('='); eq != std::string::npos)
            kv[w.substr(0, eq)] = std::strtol(w.c_str() + eq + 1, nullptr, 10);
    return kv;
}

// {program, op, fault, what it must print, buffers allocated after (-1: any), stderr text}.
struct Row {
    const char *prog, *op, *fault, *want;
    long allocated;
    const char *err = "";
};

const Row kRows[] = {
    // A full queue is retried five times, no kernel memory alike; interruptions are repeated
    // freely; any other error ends the send. A send failure does not detach.
    {"fault_app", "send", "msgsnd:EAGAIN:1:6", "result=-1 msgsnd=6 errors=1 sys_failure=0", 0,
     "PXR_send() msgsnd(): Resource temporarily unavailable"},
    {"fault_app", "send", "msgsnd:ENOMEM:1:5", "result=0 msgsnd=6 errors=1 sys_failure=0", 1},
    {"fault_app", "send", "msgsnd:EINTR:1:40", "result=0 msgsnd=41 errors=1 sys_failure=0", 2},
    {"fault_app", "send", "msgsnd:EIDRM:1", "result=-1 msgsnd=1 errors=2 sys_failure=0", 2},
    // A receive failing for good detaches; the record stays for the next receive. An
    // interrupted wait and an empty queue are ordinary.
    {"fault_app", "grab", "msgrcv:EIDRM:1", "result=0 sys_failure=1 attached=0 again=1", 1},
    {"fault_app", "receive", "msgrcv:EINTR:1", "result=0 sys_failure=0 attached=1 again=1", 0},
    {"fault_app", "grab", "msgrcv:ENOMSG:1", "result=0 attached=1", 0},
    // The partition lock cannot be taken: no buffer, detached; interrupted: repeated; cannot be
    // given back: the buffer stays allocated (the kernel frees the lock); likewise a release.
    {"fault_app", "getm", "", "result=1 semop=2", 0},
    {"fault_app", "getm", "semop:EIDRM:1", "result=0 sys_failure=1 attached=0", 0},
    {"fault_app", "getm", "semop:EINTR:1:3", "result=1 sys_failure=0 semop=5", 0},
    {"fault_app", "getm", "semop:EIDRM:2", "result=0 sys_failure=1", 1},
    {"fault_app", "relm", "semop:EIDRM:1", "result=1 sys_failure=1", 2},
    // lock_app prints first, second and sys_failure. A failed give-back frees the lock; a create
    // missing the system lock is still refused; a give-back of an unheld lock fails at once.
    {"lock_app", "relfail", "semop:EIDRM:2", "first=0 second=1 sys_failure=1", -1},
    {"lock_app", "relfail", "semop:EAGAIN:1", "first=1 second=1 sys_failure=0", -1},
    {"lock_app", "create", "semget:ENOENT:1", "first=1 second=0 sys_failure=1", -1},
    {"lock_app", "unheld", "none", "first=1 second=0 sys_failure=1", -1},
    // Attach without common area: 3, without the system lock: 5; a partition that cannot be
    // mapped stays unattached and the attach succeeds; nothing lost.
    {"fault_app", "attach", "shmget:ENOMEM:1", "result=3 sys_failure=1 attached=0", -1},
    {"fault_app", "attach", "semop:EIDRM:1", "result=5", -1},
    {"fault_app", "attach", "shmat:ENOMEM:2", "result=0 attached=1 p0=0", -1},
    {"fault_app", "getm", "", "result=1", -1},
};

class FaultTest : public pxrtest::IpcTest {};

TEST_F(FaultTest, FailedCallsLeaveTheStateConsistent) {
    ASSERT_TRUE(pxrtest::create_running_environment({.init_flags = PXR_INIT_ERROR_PRINT}));
    ASSERT_EQ(IPC_create(kQueue, 1), 0);
    char errpath[] = "/tmp/pxr-fault-err-XXXXXX";
    close(mkstemp(errpath));
    for (const Row &row : kRows) {
        const std::string what = std::string(row.op) + " " + row.fault;
        const std::string cmd = "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" +
                                pxrtest::program_path("libpxr_fault_shim.so") +
                                " PXR_FAULT_ARM=manual PXR_FAULT='" + row.fault + "' " +
                                pxrtest::program_path(row.prog) + " " + row.op + " 2>" + errpath;
        std::fflush(nullptr);
        FILE *p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        const std::string out = read_all(p);
        pclose(p);
        FILE *e = std::fopen(errpath, "r");
        const std::string err = read_all(e);
        if (e != nullptr) std::fclose(e);
        const auto got = words(out);
        for (const auto &[key, value] : words(row.want))
            EXPECT_EQ(got.count(key) ? got.at(key) : -999, value) << what << ": " << key << "\n"
                                                                  << out << err;
        EXPECT_NE(err.find(row.err), std::string::npos) << err;
        pxrtool::EnvironmentCheck env;
        EXPECT_EQ(pxrtool::check_environment(env), 0) << what;
        EXPECT_TRUE(row.allocated < 0 || env.partitions[0].allocated == uint32_t(row.allocated))
            << what << ": " << env.partitions[0].allocated << " allocated";
        for (const pxrtool::PidCount &c : env.partitions[0].allocators) EXPECT_FALSE(c.alive);
        MSG *m = getm(1, 0, 0, 8); // no lock is left held
        ASSERT_NE(m, nullptr) << what;
        relm(m);
    }
    unlink(errpath);
    EXPECT_EQ(PXR_pending_msgs(kQueue), 0);
    EXPECT_EQ(shmget(pxr_impl::kCommonAreaKey, 0, 0), pxr_common_id);
}

} // namespace
