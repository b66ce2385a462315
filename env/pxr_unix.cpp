// The System V facing layer of the environment: the lock protocol on one-semaphore sets and
// thin wrappers over the shared-memory and semaphore calls.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cerrno>
#include <sys/sem.h>
#include <sys/shm.h>

namespace {

// A lock is free at 0 and held at 1. Taking waits for 0 and adds 1 in one atomic call; both
// directions carry SEM_UNDO so the kernel gives the lock back when its holder dies.
const sembuf sem_lock[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
const sembuf sem_unlock[1] = {{0, -1, IPC_NOWAIT | SEM_UNDO}};

// Issues a constant operation list, repeating it while a signal or a transient condition
// interrupts it. A lasting failure leaves the process without a usable environment.
template <std::size_t N>
int run_lock_ops(int semid, const sembuf (&ops)[N]) {
    for (;;) {
        sembuf work[N];
        for (std::size_t i = 0; i < N; ++i) work[i] = ops[i];
        if (semop(semid, work, N) == 0) return 0;
        if (errno == EINTR || errno == EAGAIN) continue;
        PXR_sys_failure = 1;
        PXR_unlink();
        return 1;
    }
}

} // namespace

int _grab_semaphore(int semid) noexcept {
    return run_lock_ops(semid, sem_lock);
}

int _release_semaphore(int semid) noexcept {
    return run_lock_ops(semid, sem_unlock);
}

/// A segment created before a failed attach stays in the kernel (its id is in *id_out).
void *SYS_alloc_shm(int *id_out, uint32_t size, int key, int create) noexcept {
    int id;
    if (create) {
        // Whatever an earlier run left under the key goes first; processes still mapping
        // it keep their mapping, new lookups find the fresh zero-filled segment.
        int old = shmget(key, 0, pxr::kOpenPerm);
        if (old >= 0) shmctl(old, IPC_RMID, nullptr);
        id = shmget(key, size, pxr::kCreatePerm);
    } else {
        id = shmget(key, size, pxr::kOpenPerm);
    }
    *id_out = id;
    if (id < 0) return nullptr;
    void *address = shmat(id, nullptr, 0);
    return address == reinterpret_cast<void *>(-1) ? nullptr : address;
}

int SYS_free_shm(void *address, int id, int remove) noexcept {
    if (shmdt(address) != 0) return 1;
    if (remove && shmctl(id, IPC_RMID, nullptr) != 0) return 1;
    return 0;
}

int sema_open(int *id_out, int key, int create) noexcept {
    int id = semget(key, 1, create ? pxr::kCreatePerm : pxr::kOpenPerm);
    *id_out = id;
    return id < 0 ? 1 : 0;
}

int sema_close(int semid, int remove) noexcept {
    if (!remove) return 0;
    return semctl(semid, 0, IPC_RMID) != 0 ? 1 : 0;
}

int sema_give(int semid) noexcept {
    sembuf give{0, 1, 0};
    return semop(semid, &give, 1) != 0 ? 1 : 0;
}

int TSEMA_open(int permission) noexcept {
    return semget(pxr::kExitSemKey, 1, permission);
}

int TSEMA_delete(int semid) noexcept {
    return semctl(semid, 0, IPC_RMID) != 0 ? 1 : 0;
}
