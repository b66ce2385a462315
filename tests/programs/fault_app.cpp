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

void shim(const char *name) {
    if (auto f = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, name))) f();
}
// Runs op with the shim armed; its result.
template <typename Op>
long armed(Op op) {
    shim("pxr_fault_arm");
    const long result = op();
    shim("pxr_fault_disarm");
    return result;
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
    auto is = [op](const char *name) { return std::strcmp(op, name) == 0; };
    if (is("attach")) return report(op, armed([] { return PXR_init(0, 0, 0); })), 0;
    if (PXR_link() != 0) return 65;

    if (is("getm") || is("grab") || is("receive")) {
        MSG *m = nullptr;
        armed([&] {
            m = is("getm") ? getm(1, 0, 0, 8) : is("grab") ? PXR_grab(kQueue) : PXR_receive(kQueue);
            return 0;
        });
        report(op, m != nullptr ? 1 : 0);
        if (m != nullptr) relm(m);
        if (is("getm")) return 0;
        // The process goes on: the next receive attaches again if it was detached.
        MSG *again = PXR_grab(kQueue);
        std::printf("again=%d\n", again != nullptr ? 1 : 0);
        if (again != nullptr) relm(again);
    } else if (is("relm") || is("send")) {
        MSG *m = is("relm") ? getm(1, 0, 0, 8) : getm(0x100, 7, 0, 0);
        if (m == nullptr) return 66;
        const long rc = armed([&] { return is("relm") ? relm(m) : PXR_send(kQueue, m); });
        report(op, rc);
        if (is("send") && rc != 0) relm(m); // the sender still owns it
    } else {
        return 64;
    }
    return 0;
}
