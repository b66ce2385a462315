// The end of an environment: the loader's exit wait, the termination request any process
// may make, and the close that stops the recorded processes and removes every object.
#include "pxrlib.h"

#include "env/pxr_internal.h"
#include "env/ring_queues.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

constexpr uint32_t kTerminateGraceMs = 200;

// The fatal-event semaphore named by the common area, if its key says it is the environment's.
// Otherwise (the shared id was overwritten) the one under the environment's key, as long as
// the common area being closed is still the one under its key: after another process closed
// it, the key may already name a new environment's semaphore.
void remove_fatal_semaphore(int32_t semid, bool current) {
    if (pxr_impl::key_of_sem(semid) != pxr_impl::kFatalSemKey)
        semid = current ? semget(pxr_impl::kFatalSemKey, 0, 0) : -1;
    if (semid >= 0) sema_close(semid, 1);
}

} // namespace

/// Called in a process that is not attached it returns 1 and sets nothing.
int PXR_wait_exit(void) noexcept {
    if (common_ptr == nullptr) return 1;
    pxr_impl::shared(common_ptr->flags).fetch_or(CA_RUNNING);

    int semid = TSEMA_open(pxr_impl::create_perm());
    if (semid < 0) {
        printf("(%d) Error creating exit semaphore\n", getpid());
        return 1;
    }
    // A signal ends the wait as a termination request does.
    sembuf take{0, -1, SEM_UNDO};
    if (semop(semid, &take, 1) != 0 && errno != EINTR)
        printf("(%d) Error Waiting on exit semaphore %i\n", getpid(), errno);
    if (TSEMA_delete(semid) != 0) printf("(%d) Error removing semaphore\n", getpid());
    return pxr_impl::shared(common_ptr->exit_status).load();
}

int PXR_wait_exit_for(uint32_t timeout_ms) noexcept {
    if (common_ptr == nullptr) return -1;
    // Only PXR_terminate (after its post) and PXR_wait_exit remove the semaphore: gone, it
    // means that a termination was requested.
    const int semid = TSEMA_open(pxr_impl::open_perm());
    if (semid < 0) return 0;
    sembuf take{0, -1, short(SEM_UNDO | (timeout_ms == 0 ? IPC_NOWAIT : 0))};
    const timespec limit{time_t(timeout_ms / 1000), long(timeout_ms % 1000) * 1000000L};
    if (semtimedop(semid, &take, 1, timeout_ms > 0 ? &limit : nullptr) == 0) return 0;
    if (errno == EIDRM || errno == EINVAL) return 0;
    return errno == EINTR ? 2 : 1;
}

int PXR_terminate(void) noexcept {
    if (common_ptr == nullptr && PXR_init(0, 0, 0) != 0) return 1;

    int semid = TSEMA_open(pxr_impl::open_perm());
    if (semid >= 0) {
        sembuf give{0, 1, 0};
        semop(semid, &give, 1);
    }
    // Gives the loader time to leave its wait before the semaphore disappears.
    PLAT_delay(kTerminateGraceMs);
    semid = TSEMA_open(pxr_impl::open_perm());
    if (semid >= 0) TSEMA_delete(semid);
    return PXR_close();
}

namespace {

// The close's steps in their order, with or without the signals of the process table.
int close_steps(bool signal_table) {
    pxr_impl::Attachment &self = pxr_impl::attachment;
    if (self.common == nullptr) {
        // A PXR_init of this process opened the system lock but did not attach.
        if (self.system_lock != -1) {
            sema_close(self.system_lock, 1);
            self.system_lock = -1;
        }
        return 0;
    }

    std::atomic_ref<uint32_t> flags = pxr_impl::shared(self.common->flags);
    uint32_t state = flags.load();
    while (!flags.compare_exchange_weak(state, (state | CA_CLOSING) & ~CA_RUNNING)) {
    }

    if (signal_table) SYS_delete_pids();

    for (uint32_t m = 0; m < PXR_MODULE_COUNT; ++m)
        if (self.common->module_queues[m].msqid != PXR_NO_QUEUE) IPC_delete(m);
    pxr_impl::close_rings();

    remove_fatal_semaphore(self.common->fatal_semid, !pxr_impl::shm_removed(self.common_id));
    SYS_free_shm(self.common, self.common_id, 1);
    self.common = nullptr;
    self.common_id = 0;
    sema_close(self.system_lock, 1);
    self.system_lock = -1;
    for (int p = 0; p < pxr_impl::kPartitions; ++p) pxr_impl::release_partition(p, true);
    pxr_impl::release_extension(true);
    self.creator = false;
    pxr_impl::forget_retired();

    PXR_sys_failure = 1;
    return 0;
}

} // namespace

/// Removes what the close steps name and nothing else: a partition not attached here and a
/// queue no table entry names any more are left for `pxr clean`. An id read from the common
/// area is only acted on when its key is the environment's.
int PXR_close(void) noexcept {
    return close_steps(true);
}

/// Called unattached it first maps the environment that exists without the system lock (which
/// another process may hold for as long as it likes) and closes that; if there is none, it does
/// what PXR_close does unattached.
int PXR_close_without_signals(void) noexcept {
    pxr_impl::attach_for_close();
    return close_steps(false);
}
