// A process for the pxr command's tests, started by `pxr load` through a spawn line.
//   tool_child terminate MODULE   send itself one message through MODULE, then terminate
//   tool_child wait MODULE        receive on MODULE until the environment is gone
//   tool_child exhaust            ask for a buffer larger than every partition
#include "pxrlib.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc < 2) return 64;
    uint32_t module = argc > 2 ? uint32_t(std::strtoul(argv[2], nullptr, 0)) : 0;
    if (std::strcmp(argv[1], "terminate") == 0) {
        MSG *m = getm(0x100, 7, 0, 4);
        if (m == nullptr || PXR_send(module, m) != 0) return 2;
        MSG *back = PXR_receive(module);
        if (back != m) return 3;
        relm(back);
        PXR_terminate();
        return 0;
    }
    if (std::strcmp(argv[1], "wait") == 0) {
        for (;;) {
            MSG *m = PXR_receive(module);
            if (m != nullptr) relm(m);
            if (PXR_sys_failure != 0) return 0;
        }
    }
    if (std::strcmp(argv[1], "exhaust") == 0) {
        getm(0x100, 1, 0, 60000); // fatal event 2; with fatal action 1 the environment ends
        return 0;
    }
    return 64;
}
