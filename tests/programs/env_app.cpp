// An application process for the environment tests, started by path.
//   env_app count <n>   attach lazily, add 1 to shared counter 0 n times, detach
//   env_app stay        attach lazily, then sleep until a signal ends the process
// Exit status: 0 done, 2 could not attach, 3 a counter operation failed.
#include "pxrlib.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) return 1;
    if (PXR_detect() != 0) return 2;
    if (std::strcmp(argv[1], "count") == 0 && argc > 2) {
        uint32_t value = 0;
        for (int n = std::atoi(argv[2]); n > 0; --n)
            if (PXR_increment_counter(0, &value) != 0) return 3;
        PXR_unlink();
        return 0;
    }
    if (std::strcmp(argv[1], "stay") == 0)
        for (;;) pause();
    return 1;
}
