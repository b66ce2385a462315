// The lock protocol's failure paths in real processes, with the fault shim preloaded into
// lock_app: a lock that cannot be given back stays usable, a release of a lock nobody holds
// fails instead of retrying, and a create that slips past the lookup of the system lock is
// still refused.
#include "ipc_test.h"

#include "env/pxr_internal.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs lock_app OP with PXR_FAULT=fault; {first, second, sys_failure}, or the exit status
// (128 + signal) in first when the app did not report.
struct Result {
    long first = -1, second = -1, failure = -1;
};
Result run_app(const char *op, const char *fault) {
    const std::string cmd = "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" +
                            pxrtest::program_path("libpxr_fault_shim.so") +
                            " PXR_FAULT_ARM=manual PXR_FAULT=" + fault + " " +
                            pxrtest::program_path("lock_app") + " " + op;
    Result r;
    std::fflush(nullptr);
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    const int n = std::fscanf(p, "%ld %ld %ld", &r.first, &r.second, &r.failure);
    const int st = pclose(p);
    if (n != 3) r.first = WIFSIGNALED(st) ? 128 + WTERMSIG(st) : WEXITSTATUS(st);
    return r;
}

class FaultLocks : public pxrtest::IpcTest {};

TEST_F(FaultLocks, FailedReleasesAndCreateRaces) {
    ASSERT_TRUE(pxrtest::create_running_environment({}));
    // {op, fault, first, second, sys_failure}
    const struct {
        const char *op, *fault;
        long first, second, failure;
    } rows[] = {
        // Giving the partition lock back fails: detached and flagged, and the lock is free
        // again, so the next allocation (attaching anew) does not wait on itself.
        {"relfail", "semop:EIDRM:2", 0, 1, 1},
        // A blocking take never sees EAGAIN from the kernel; the shim does not pretend it does.
        {"relfail", "semop:EAGAIN:1", 1, 1, 0},
        // The lookup of the system lock misses the environment: the exclusive creation refuses.
        {"create", "semget:ENOENT:1", 1, -1, 1},
    };
    for (const auto &row : rows) {
        const Result r = run_app(row.op, row.fault);
        EXPECT_EQ(r.first, row.first) << row.op << " " << row.fault;
        EXPECT_EQ(r.second, row.second) << row.op << " " << row.fault;
        EXPECT_EQ(r.failure, row.failure) << row.op << " " << row.fault;
    }
    EXPECT_EQ(shmget(pxr::kCommonAreaKey, 0, 0), pxr_common_id); // the environment is untouched
}

TEST_F(FaultLocks, ReleasingALockThatIsNotHeldFails) {
    EXPECT_EQ(pxrtest::run_child([] {
                  alarm(5); // a release that retried would end here
                  const int id = semget(IPC_PRIVATE, 1, 0600);
                  const int rc = _release_semaphore(id);
                  const int value = semctl(id, 0, GETVAL);
                  semctl(id, 0, IPC_RMID);
                  return rc == 1 && value == 0 && PXR_sys_failure == 1 ? 0 : 1;
              }),
              0);
}

} // namespace
