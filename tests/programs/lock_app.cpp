// Helper of test_fault_locks: performs one operation with the preloaded fault shim armed
// (tests/fault/shim.c) and prints "first second sys_failure" as three numbers.
//
//   lock_app create   - PXR_init with the create flag: first = its result
//   lock_app relfail  - a getm whose lock release fails, then a second getm (first, second =
//                       whether each got a buffer); the second must not block on the first
#include "pxrlib.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

void shim(const char *name) {
    if (auto f = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, name))) f();
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 64;
    long first = -1, second = -1;
    if (std::strcmp(argv[1], "create") == 0) {
        shim("pxr_fault_arm");
        first = PXR_init(PXR_INIT_CREATE, 0, 0);
        shim("pxr_fault_disarm");
    } else if (std::strcmp(argv[1], "relfail") == 0) {
        if (PXR_link() != 0) return 65;
        shim("pxr_fault_arm");
        first = getm(1, 0, 0, 8) != nullptr;
        shim("pxr_fault_disarm");
        const int failure = PXR_sys_failure;
        alarm(10);
        MSG *m = getm(1, 0, 0, 8);
        second = m != nullptr;
        if (m != nullptr) relm(m);
        std::printf("%ld %ld %d\n", first, second, failure);
        return 0;
    }
    std::printf("%ld %ld %d\n", first, second, int(PXR_sys_failure));
    return 0;
}
