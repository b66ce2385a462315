// `pxr check`: the integrity check of check.h as a command.
#include "check.h"

#include "tool.h"

#include <cstdio>

namespace pxrtool {

int cmd_check(int argc, char **argv) {
    if (argc > 1 && is_help(argv[1])) {
        std::printf("usage: pxr check\n"
                    "Walks both partitions read-only and accounts for every buffer: on the free\n"
                    "list or allocated (by which process). Exit status 0 when consistent, 1 when\n"
                    "a problem was found, 2 when no environment exists. Exact only while no\n"
                    "process allocates or releases.\n");
        return kExitOk;
    }
    EnvironmentCheck check;
    int rc = check_environment(check);
    if (rc == 2) {
        std::fprintf(stderr, "pxr check: no environment\n");
        return 2;
    }
    print_check(stdout, check);
    return rc;
}

} // namespace pxrtool
