// Helper of test_faults: attaches to the running environment, arms the preloaded fault shim
// (tests/fault/shim.c) and performs one operation, then prints what it saw as key=value words
// on one line. Runs without the shim too (nothing then fails).
//
//   fault_app getm | relm | send | grab | receive | attach
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>

namespace {

constexpr uint32_t kQueue = 10; // the module queue the tests create

void arm() {
    if (auto f = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "pxr_fault_arm"))) f();
}
void disarm() {
    if (auto f = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "pxr_fault_disarm"))) f();
}
unsigned long calls(const char *name) {
    auto f =
        reinterpret_cast<unsigned long (*)(const char *)>(dlsym(RTLD_DEFAULT, "pxr_fault_calls"));
    return f ? f(name) : 0;
}

void report(const char *op, long result) {
    std::printf("op=%s result=%ld sys_failure=%d attached=%d p0=%d errors=%d msgsnd=%lu "
                "msgrcv=%lu semop=%lu\n",
                op, result, int(PXR_sys_failure), common_ptr != nullptr ? 1 : 0,
                partition_hdr[0] != nullptr ? 1 : 0,
                common_ptr != nullptr ? int(common_ptr->internal_errors) : -1, calls("msgsnd"),
                calls("msgrcv"), calls("semop"));
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 64;
    const char *op = argv[1];
    if (std::strcmp(op, "attach") == 0) {
        arm();
        const int rc = PXR_init(0, 0, 0);
        disarm();
        report(op, rc);
        return 0;
    }
    if (PXR_link() != 0) return 65;

    if (std::strcmp(op, "getm") == 0) {
        arm();
        MSG *m = getm(1, 0, 0, 8);
        disarm();
        report(op, m != nullptr ? 1 : 0);
        if (m != nullptr) relm(m);
    } else if (std::strcmp(op, "relm") == 0) {
        MSG *m = getm(1, 0, 0, 8);
        if (m == nullptr) return 66;
        arm();
        const int rc = relm(m);
        disarm();
        report(op, rc);
    } else if (std::strcmp(op, "send") == 0) {
        MSG *m = getm(0x100, 7, 0, 0);
        if (m == nullptr) return 66;
        arm();
        const int rc = PXR_send(kQueue, m);
        disarm();
        report(op, rc);
        if (rc != 0) relm(m); // the sender still owns it
    } else if (std::strcmp(op, "grab") == 0 || std::strcmp(op, "receive") == 0) {
        const bool wait = op[0] == 'r';
        arm();
        MSG *m = wait ? PXR_receive(kQueue) : PXR_grab(kQueue);
        disarm();
        report(op, m != nullptr ? 1 : 0);
        if (m != nullptr) relm(m);
        // The process goes on: the next receive attaches again if it was detached.
        MSG *again = PXR_grab(kQueue);
        std::printf("again=%d\n", again != nullptr ? 1 : 0);
        if (again != nullptr) relm(again);
    } else {
        return 64;
    }
    return 0;
}
