// Helper of test_faults: runs one operation with the preloaded fault shim armed
// (tests/fault/shim.c) and prints "first=F second=S sys_failure=E".
//   create   first = PXR_init with the create flag
//   relfail  first, second = whether a getm, then a second one (after at most 10 s), got a buffer
//   unheld   first = _release_semaphore of a lock nobody holds (after at most 5 s)
#include "pxrlib.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <sys/sem.h>
#include <unistd.h>

static void shim(const char *name) {
    if (auto f = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, name))) f();
}

int main(int argc, char **argv) {
    const char *op = argc > 1 ? argv[1] : "";
    const int sem = semget(IPC_PRIVATE, 1, 0600);
    if (std::strcmp(op, "relfail") == 0 && PXR_link() != 0) return 65;
    alarm(10); // a lock left held for this process would block the second getm for good
    shim("pxr_fault_arm");
    const long first = std::strcmp(op, "create") == 0   ? PXR_init(PXR_INIT_CREATE, 0, 0)
                       : std::strcmp(op, "unheld") == 0 ? _release_semaphore(sem)
                                                        : getm(1, 0, 0, 8) != nullptr;
    shim("pxr_fault_disarm");
    const int failure = PXR_sys_failure;
    MSG *m = std::strcmp(op, "relfail") == 0 ? getm(1, 0, 0, 8) : nullptr;
    semctl(sem, 0, IPC_RMID);
    std::printf("first=%ld second=%d sys_failure=%d\n", first, m != nullptr, failure);
    return 0;
}
