// pong: answers every request that reaches its module; other messages are released.
//
// usage: pong MY_ID
#include "pxr.hpp"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    uint32_t me = 0;
    if (argc != 2 || strtonum(&me, argv[1]) != 1 || me > 254) {
        std::fprintf(stderr, "usage: pong MY_ID\n");
        return 64;
    }
    for (;;) {
        auto in = pxr::receive(me);
        if (!in) {
            // An interrupted wait is ordinary; a process without environment stops.
            if (PXR_sys_failure != 0) return 0;
            continue;
        }
        if (in->is_request())
            pxr::confirm(std::move(*in)); // back to the sender, which asked for it
        // anything else (e.g. a congestion message) is released when `in` goes out of scope
    }
}
