// Creates an environment as root and tries to use it as the unprivileged user nobody (65534)
// and as root. Built three times: with PXR_IPC_MODE 0600, where nobody must be refused at every
// door; with the default 0666, where nobody gets in (the risk the mode option removes); and
// with the default build whose creator chooses 0600 at run time (PROBE_RUNTIME).
// Exit status: 0 as expected, 1 not as expected, 77 when the test cannot run here.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint32_t kQueue = 10;
constexpr bool kRestricted = (PROBE_MODE & 0077) == 0;

int run(int (*body)()) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        const int rc = body();
        fflush(nullptr);
        _exit(rc);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
}

int as_nobody() {
    PXR_unlink();
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 77;
    const int rc = PXR_init(0, 0, 0);
    // The doors one by one, as a process that ignores the library would try them.
    struct {
        long mtype;
        char text[12];
    } rec{1, {}};
    const int q = msgget(pxr_impl::kModuleQueueKey + int(kQueue), 0);
    const bool can_send = q >= 0 && msgsnd(q, &rec, sizeof rec.text, IPC_NOWAIT) == 0;
    const int shm = shmget(pxr_impl::kMsgArrayKey, 0, 0);
    void *at = shm >= 0 ? shmat(shm, nullptr, SHM_RDONLY) : reinterpret_cast<void *>(-1);
    const bool can_read_buffers = at != reinterpret_cast<void *>(-1);
    const int sem = semget(pxr_impl::kPartitionLockKey, 0, 0);
    sembuf op{0, 0, IPC_NOWAIT};
    const bool can_use_lock = sem >= 0 && semop(sem, &op, 1) == 0;
    std::printf("mode %04o, user nobody: PXR_init %d, send into a queue %s, map the buffers %s, "
                "use a partition lock %s\n",
                PROBE_MODE, rc, can_send ? "yes" : "no", can_read_buffers ? "yes" : "no",
                can_use_lock ? "yes" : "no");
    if (kRestricted) return rc != 0 && !can_send && !can_read_buffers && !can_use_lock ? 0 : 1;
    return rc == 0 && can_send && can_read_buffers && can_use_lock ? 0 : 1;
}

int as_root() {
    PXR_unlink();
    const int rc = PXR_init(0, 0, 0);
    MSG *m = getm(1, 0, 0, 8);
    const bool ok = rc == 0 && m != nullptr && PXR_send(kQueue, m) == 0;
    std::printf("mode %04o, root: PXR_init %d, send %s\n", PROBE_MODE, rc, ok ? "yes" : "no");
    return ok ? 0 : 1;
}

int mode_of_objects() {
    // Every object of the key plan that exists carries the mode.
    int bad = 0;
    auto check = [&](bool stated, const ipc_perm &perm) {
        bad += !stated || (perm.mode & 0777) != PROBE_MODE;
    };
    shmid_ds sd{};
    for (int key :
         {pxr_impl::kCommonAreaKey, pxr_impl::kPartitionHeaderKey, pxr_impl::kMsgArrayKey})
        check(shmctl(shmget(key, 0, 0), IPC_STAT, &sd) == 0, sd.shm_perm);
    semid_ds sem{};
    for (int key : {pxr_impl::kSystemLockKey, pxr_impl::kFatalSemKey, pxr_impl::kPartitionLockKey})
        check(semctl(semget(key, 0, 0), 0, IPC_STAT, &sem) == 0, sem.sem_perm);
    msqid_ds mq{};
    check(msgctl(msgget(pxr_impl::kModuleQueueKey + int(kQueue), 0), IPC_STAT, &mq) == 0,
          mq.msg_perm);
    return bad;
}

} // namespace

int main() {
    if (geteuid() != 0) {
        std::puts("access probe: needs root to switch users; skipped");
        return 77;
    }
    if (PXR_init(PXR_INIT_CREATE, 0, 0) != 0 ||
#ifdef PROBE_RUNTIME
        PXR_set_access(0644) != -1 || PXR_set_access(PROBE_MODE) != 0 ||
#endif
        PXR_open_partition(0, 8, 32, 0, 0, PXR_OPEN_CREATE) != 0 || IPC_create(kQueue, 1) != 0) {
        std::puts("access probe: cannot create the environment");
        return 1;
    }
    PXR_admit_attachers();
    int status = PXR_access() == PROBE_MODE && PXR_set_access(PROBE_MODE) == 1 ? 0 : 1;
    if (int bad = mode_of_objects(); bad != 0) {
        std::printf("access probe: %d objects without mode %04o\n", bad, PROBE_MODE);
        status = 1;
    }
    const int nobody = run(as_nobody);
    if (nobody == 77) {
        std::puts("access probe: cannot become nobody here; skipped");
        PXR_close();
        return 77;
    }
    if (nobody != 0) status = 1;
    if (run(as_root) != 0) status = 1;
    std::printf("access probe: %s\n", status == 0 ? "as expected" : "NOT as expected");
    return status;
}
