// The System V facing layer of the environment: the lock operations on one-semaphore sets,
// thin wrappers over the shared-memory and semaphore calls, and the ownership checks of a
// restrictive build. It reports results only; what a failure means for the process is decided
// by its callers.
#include "pxrlib.h"

#include "env/pxr_internal.h"
#include "env/sync_notes.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

// A lock is free at 0 and held at 1. Taking waits for 0 and adds 1 in one atomic call; both
// directions carry SEM_UNDO so the kernel gives the lock back when its holder dies.
const sembuf sem_lock[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
const sembuf sem_unlock[1] = {{0, -1, IPC_NOWAIT | SEM_UNDO}};

// Issues a constant operation list, repeating it while a signal interrupts it. The release
// never waits (IPC_NOWAIT), so its EAGAIN says the lock was not held: a failure, not a retry.
template <std::size_t N>
int run_lock_ops(int semid, const sembuf (&ops)[N]) {
    for (;;) {
        sembuf work[N];
        for (std::size_t i = 0; i < N; ++i) work[i] = ops[i];
        if (semop(semid, work, N) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

#ifndef PXR_IPC_MODE
#define PXR_IPC_MODE 0666
#endif

int process_mode = PXR_IPC_MODE;

bool my_group(gid_t gid) {
    if (gid == getegid()) return true;
    gid_t groups[256];
    int n = getgroups(256, groups);
    for (int i = 0; i < n; ++i)
        if (groups[i] == gid) return true;
    return false;
}

// An object made by someone outside the environment: another owner or creator (an owner may
// give an object away with IPC_SET, so the creator counts too), or more permission than the
// mode grants. Checked only while the mode withholds every permission from other users.
bool trusted(const ipc_perm &perm, const char *what, int key) {
    const uid_t me = geteuid();
    const bool mode_ok = (perm.mode & 0777 & ~unsigned(pxr_impl::ipc_mode())) == 0;
    const bool users_ok =
        (perm.uid == me && perm.cuid == me) ||
        ((pxr_impl::ipc_mode() & 0070) != 0 && my_group(perm.gid) && my_group(perm.cgid));
    if (mode_ok && users_ok) return true;
    fprintf(stderr,
            "(%d) %s 0x%x is not this environment's (owner %d, creator %d, mode %04o; "
            "expected user %d, mode %04o): refused\n",
            int(getpid()), what, unsigned(key), int(perm.uid), int(perm.cuid),
            unsigned(perm.mode & 0777), int(me), unsigned(pxr_impl::ipc_mode()));
    errno = EACCES;
    return false;
}

} // namespace

namespace pxr_impl {

int ipc_mode() noexcept {
    return process_mode;
}

void reset_ipc_mode() noexcept {
    process_mode = PXR_IPC_MODE;
}

void adopt_ipc_mode(int semid) noexcept {
    semid_ds ds{};
    process_mode = PXR_IPC_MODE;
    if (semctl(semid, 0, IPC_STAT, &ds) == 0) process_mode &= int(ds.sem_perm.mode & 0777);
}

void set_ipc_mode(int mode) noexcept {
    process_mode = mode;
}

int lock_take(int semid) noexcept {
    const int err = run_lock_ops(semid, sem_lock);
    if (err == 0) synced_after(lock_token(semid));
    return err;
}

int lock_take_within(int semid, uint32_t timeout_ms) noexcept {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += time_t(timeout_ms / 1000);
    deadline.tv_nsec += long(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) ++deadline.tv_sec, deadline.tv_nsec -= 1000000000L;
    for (;;) {
        timespec now{}, left{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        left.tv_sec = deadline.tv_sec - now.tv_sec;
        left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) --left.tv_sec, left.tv_nsec += 1000000000L;
        if (left.tv_sec < 0) return EAGAIN;
        sembuf work[2] = {sem_lock[0], sem_lock[1]};
        if (semtimedop(semid, work, 2, &left) == 0) return synced_after(lock_token(semid)), 0;
        if (errno != EINTR) return errno;
    }
}

int lock_give(int semid) noexcept {
    synced_before(lock_token(semid));
    return run_lock_ops(semid, sem_unlock);
}

int lock_force_free(int semid) noexcept {
    // Setting the value clears every process's undo record for the semaphore, so the kernel
    // will not take the lock again for this process when it exits.
    return semctl(semid, 0, SETVAL, 0) == 0 ? 0 : errno;
}

bool trusted_shm(int id, int key) noexcept {
    if ((process_mode & 0007) != 0) return true;
    shmid_ds ds{};
    return shmctl(id, IPC_STAT, &ds) == 0 && trusted(ds.shm_perm, "shared memory", key);
}

bool trusted_sem(int id, int key) noexcept {
    if ((process_mode & 0007) != 0) return true;
    semid_ds ds{};
    return semctl(id, 0, IPC_STAT, &ds) == 0 && trusted(ds.sem_perm, "semaphore", key);
}

bool trusted_queue(int id, int key) noexcept {
    if ((process_mode & 0007) != 0) return true;
    msqid_ds ds{};
    return msgctl(id, IPC_STAT, &ds) == 0 && trusted(ds.msg_perm, "message queue", key);
}

long key_of_shm(int id) noexcept {
    shmid_ds ds{};
    return id >= 0 && shmctl(id, IPC_STAT, &ds) == 0 ? long(ds.shm_perm.__key) : -1;
}

long key_of_sem(int id) noexcept {
    semid_ds ds{};
    return id >= 0 && semctl(id, 0, IPC_STAT, &ds) == 0 ? long(ds.sem_perm.__key) : -1;
}

long key_of_queue(int id) noexcept {
    msqid_ds ds{};
    return id >= 0 && msgctl(id, IPC_STAT, &ds) == 0 ? long(ds.msg_perm.__key) : -1;
}

bool shm_removed(int id) noexcept {
    shmid_ds ds{};
    return shmctl(id, IPC_STAT, &ds) != 0 || (ds.shm_perm.mode & SHM_DEST) != 0;
}

} // namespace pxr_impl

/// A segment created before a failed attach stays in the kernel (its id is in *id_out). In a
/// restrictive build a segment owned by another user or with a wider mode is refused (null).
void *SYS_alloc_shm(int *id_out, uint32_t size, int key, int create) noexcept {
    int id;
    if (create) {
        // Whatever an earlier run left under the key goes first; processes still mapping
        // it keep their mapping, new lookups find the fresh zero-filled segment.
        int old = shmget(key, 0, pxr_impl::open_perm());
        if (old >= 0) shmctl(old, IPC_RMID, nullptr);
        id = shmget(key, size, pxr_impl::create_perm());
    } else {
        id = shmget(key, size, pxr_impl::open_perm());
    }
    if (id >= 0 && !pxr_impl::trusted_shm(id, key)) id = -1;
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

/// In a restrictive build a set owned by another user or with a wider mode is refused (1).
int sema_open(int *id_out, int key, int create) noexcept {
    int id = semget(key, 1, create ? pxr_impl::create_perm() : pxr_impl::open_perm());
    if (id >= 0 && !pxr_impl::trusted_sem(id, key)) id = -1;
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

/// In a restrictive build a set owned by another user or with a wider mode is refused (-1).
int TSEMA_open(int permission) noexcept {
    int id = semget(pxr_impl::kExitSemKey, 1, permission);
    return id >= 0 && !pxr_impl::trusted_sem(id, pxr_impl::kExitSemKey) ? -1 : id;
}

int TSEMA_delete(int semid) noexcept {
    return semctl(semid, 0, IPC_RMID) != 0 ? 1 : 0;
}
