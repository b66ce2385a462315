// The lock protocol's failure paths in real processes, with the fault shim preloaded into
// lock_app: a lock that cannot be given back stays usable, a release of a lock nobody holds
// fails instead of retrying, and a create that slips past the lookup of the system lock is
// still refused.
#include "ipc_test.h"

#include "env/pxr_internal.h"

#include <cstdio>
#include <string>
#include <sys/shm.h>
#include <unistd.h>

namespace {

class FaultLocks : public pxrtest::IpcTest {};

TEST_F(FaultLocks, FailedReleasesUnheldLocksAndCreateRaces) {
    ASSERT_TRUE(pxrtest::create_running_environment({}));
    const struct {
        const char *op, *fault;
        long first, second, failure; // what lock_app prints; first is -1 if it printed nothing
    } rows[] = {
        // Giving the partition lock back fails: detached and flagged, and the lock is free
        // again, so the next allocation (attaching anew) does not wait on itself.
        {"relfail", "semop:EIDRM:2", 0, 1, 1},
        // A blocking take never sees EAGAIN from the kernel; the shim does not pretend it does.
        {"relfail", "semop:EAGAIN:1", 1, 1, 0},
        // The lookup of the system lock misses the environment: the exclusive creation refuses.
        {"create", "semget:ENOENT:1", 1, 0, 1},
        // A lock nobody holds: the give-back's EAGAIN is a failure, not a reason to retry.
        {"unheld", "none", 1, 0, 1},
    };
    for (const auto &row : rows) {
        const std::string cmd = "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" +
                                pxrtest::program_path("libpxr_fault_shim.so") +
                                " PXR_FAULT_ARM=manual PXR_FAULT=" + row.fault + " " +
                                pxrtest::program_path("lock_app") + " " + row.op;
        long got[3] = {-1, -1, -1};
        std::fflush(nullptr);
        FILE *p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::fscanf(p, "%ld %ld %ld", &got[0], &got[1], &got[2]);
        pclose(p);
        EXPECT_EQ(got[0], row.first) << row.op << " " << row.fault;
        EXPECT_EQ(got[1], row.second) << row.op << " " << row.fault;
        EXPECT_EQ(got[2], row.failure) << row.op << " " << row.fault;
    }
    EXPECT_EQ(shmget(pxr::kCommonAreaKey, 0, 0), pxr_common_id); // the environment is untouched
}

} // namespace
