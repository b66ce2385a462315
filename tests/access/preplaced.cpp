// The user nobody creates objects under the environment's keys (mode 0666) before the root
// loader starts. With PXR_IPC_MODE 0600 the loader refuses each (partition lock, module queue,
// exit semaphore); with the default 0666 it uses them. Exit 0 as expected, 1 not, 77 skipped.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cstdio>
#include <grp.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

int main() {
    const int keys[] = {pxr_impl::kPartitionLockKey, pxr_impl::kExitSemKey,
                        pxr_impl::module_queue_key(10)};
    if (geteuid() != 0) return 77;
    if (fork() == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
        const bool made = semget(keys[0], 1, IPC_CREAT | 0666) >= 0 &&
                          semget(keys[1], 1, IPC_CREAT | 0666) >= 0 &&
                          msgget(keys[2], IPC_CREAT | 0666) >= 0;
        _exit(made ? 0 : 1);
    }
    int st = 0;
    wait(&st);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
    const int init = PXR_init(PXR_INIT_CREATE, 0, 0);
    const int used = (PXR_open_partition(0, 8, 32, 0, 0, PXR_OPEN_CREATE) == 0) +
                     (IPC_create(10, 0) == 0) + (TSEMA_open(pxr_impl::create_perm()) >= 0);
    std::printf("mode %04o: PXR_init %d, objects made by nobody used: %d of 3\n", PROBE_MODE, init,
                used);
    PXR_close();
    for (int i = 0; i < 2; ++i) semctl(semget(keys[i], 0, 0), 0, IPC_RMID);
    msgctl(msgget(keys[2], 0), IPC_RMID, nullptr);
    return init == 0 && used == ((PROBE_MODE & 0077) == 0 ? 0 : 3) ? 0 : 1;
}
