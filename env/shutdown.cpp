// The end of an environment: the loader's exit wait, the termination request any process
// may make, and the close that stops the recorded processes and removes every object.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cerrno>
#include <cstdio>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

constexpr uint32_t kTerminateGraceMs = 200;

// Removes an object of the key plan that no mapping of this process names any more.
void remove_shm_by_key(int key) {
    int id = shmget(key, 0, pxr::kOpenPerm);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}
void remove_sem_by_key(int key) {
    int id = semget(key, 0, pxr::kOpenPerm);
    if (id >= 0) semctl(id, 0, IPC_RMID);
}

} // namespace

/// Called in a process that is not attached it returns 1 and sets nothing.
int PXR_wait_exit(void) noexcept {
    if (common_ptr == nullptr) return 1;
    pxr::shared(common_ptr->flags).fetch_or(CA_RUNNING);

    int semid = TSEMA_open(pxr::kCreatePerm);
    if (semid < 0) {
        printf("(%d) Error creating exit semaphore\n", getpid());
        return 1;
    }
    // A signal ends the wait as a termination request does.
    sembuf take{0, -1, SEM_UNDO};
    if (semop(semid, &take, 1) != 0 && errno != EINTR)
        printf("(%d) Error Waiting on exit semaphore %i\n", getpid(), errno);
    if (TSEMA_delete(semid) != 0) printf("(%d) Error removing semaphore\n", getpid());
    return pxr::shared(common_ptr->exit_status).load();
}

int PXR_terminate(void) noexcept {
    if (common_ptr == nullptr && PXR_init(0, 0, 0) != 0) return 1;

    int semid = TSEMA_open(pxr::kOpenPerm);
    if (semid >= 0) {
        sembuf give{0, 1, 0};
        semop(semid, &give, 1);
    }
    // Gives the loader time to leave its wait before the semaphore disappears.
    PLAT_delay(kTerminateGraceMs);
    semid = TSEMA_open(pxr::kOpenPerm);
    if (semid >= 0) TSEMA_delete(semid);
    return PXR_close();
}

/// Besides what the table names, it removes every module queue and partition object left
/// under the environment's keys (a queue replaced by IPC_attach, a partition not attached
/// here), so nothing of the environment stays in the kernel.
int PXR_close(void) noexcept {
    if (common_ptr == nullptr) {
        // A PXR_init of this process opened the system lock but did not attach.
        if (pxr_semid != -1) {
            sema_close(pxr_semid, 1);
            pxr_semid = -1;
        }
        return 0;
    }

    std::atomic_ref<uint32_t> flags = pxr::shared(common_ptr->flags);
    uint32_t state = flags.load();
    while (!flags.compare_exchange_weak(state, (state | CA_CLOSING) & ~CA_RUNNING)) {
    }

    SYS_delete_pids();

    for (uint32_t m = 0; m < PXR_MODULE_COUNT; ++m)
        if (common_ptr->module_queues[m].msqid != PXR_NO_QUEUE) IPC_delete(m);
    for (int m = 0; m < PXR_MODULE_COUNT; ++m) {
        int id = msgget(pxr::kModuleQueueKey + m, pxr::kOpenPerm);
        if (id >= 0) msgctl(id, IPC_RMID, nullptr);
    }

    sema_close(common_ptr->fatal_semid, 1);
    SYS_free_shm(common_ptr, pxr_common_id, 1);
    common_ptr = nullptr;
    sema_close(pxr_semid, 1);
    pxr_semid = -1;

    for (int p = 0; p < pxr::kPartitions; ++p) {
        if (partition_hdr[p] != nullptr) {
            SYS_free_shm(partition_hdr[p], partition_hdr_id[p], 1);
            partition_hdr[p] = nullptr;
            if (partition_msgarray[p] != nullptr)
                SYS_free_shm(partition_msgarray[p], partition_msgarray_id[p], 1);
            partition_msgarray[p] = nullptr;
            sema_close(partition_lock_id[p], 1);
        }
        remove_shm_by_key(pxr::kPartitionHeaderKey + p);
        remove_shm_by_key(pxr::kMsgArrayKey + p);
        remove_sem_by_key(pxr::kPartitionLockKey + p);
    }

    PXR_sys_failure = 1;
    return 0;
}
