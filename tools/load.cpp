// pxr load: the loader. Builds the environment a configuration file describes, starts its
// processes and looks after them while it waits for a termination request (reporting every
// process that ends, restarting it by its policy, giving back the buffers it held), then
// removes everything again.
#include "loader.h"
#include "membership.h"
#include "supervise.h"
#include "tool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace pxrtool {

namespace load {

volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_exit_semid = -1;

// Ends the exit wait. The semaphore is posted as well as the wait interrupted, so a signal
// that arrives just before the loader blocks still ends the wait.
void on_signal(int sig) {
    int saved = errno;
    g_signal = sig;
    if (g_exit_semid >= 0) {
        struct sembuf post = {0, 1, 0};
        semop(g_exit_semid, &post, 1);
    }
    errno = saved;
}

void on_child(int) {
    g_child = 1;
}

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGALRM};

void install_handlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the semaphore wait must end
    for (int sig : kHandledSignals) sigaction(sig, &sa, nullptr);
    sa.sa_handler = on_child;
    sa.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
}

void restore_handlers() {
    for (int sig : kHandledSignals) std::signal(sig, SIG_DFL);
    std::signal(SIGCHLD, SIG_DFL);
}

void sleep_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

} // namespace load

namespace {

using namespace load;

void usage(FILE *out) {
    std::fputs("usage: pxr load [-v] [--timeout SECONDS] [--name NAME] FILE\n"
               "\n"
               "Create the environment FILE describes, start its processes and wait until a\n"
               "process calls PXR_terminate (or SIGINT/SIGTERM/SIGHUP arrive); then stop all\n"
               "and remove every IPC object. The whole file is checked first. Every spawned\n"
               "process that ends is reported on standard error and restarted by its policy;\n"
               "the buffers it held go back to their pools.\n"
               "\n"
               "  -v, --verbose        report each step on standard error\n"
               "  --timeout SECONDS    terminate the environment after SECONDS (exit 124)\n"
               "  --name NAME          run it in an IPC namespace of its own, reached with\n"
               "                       `pxr --name NAME COMMAND` (see man pxr)\n"
               "\n"
               "Exit status: 0 or the magnitude of the environment's exit status (1 a send\n"
               "failed, 2 buffers ran out), 64 usage, 65 invalid file, 69 cannot build,\n"
               "70 a critical process ended, 71 another process closed the environment,\n"
               "124 timeout, 128+N ended by signal N.\n",
               out);
}

} // namespace

int cmd_load(int argc, char **argv) {
    // A reader of its output that goes away (`pxr load ... | head -1`) must not end the loader
    // with its environment left behind: its writes then fail and it goes on. Its processes
    // get the default back.
    std::signal(SIGPIPE, SIG_IGN);
    bool verbose = false;
    long timeout = 0;
    const char *file = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (is_help(argv[i])) {
            usage(stdout);
            return kExitOk;
        } else if (arg == "-v" || arg == "--verbose") {
            verbose = true;
        } else if (arg == "--timeout") {
            uint64_t v;
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pxr load: --timeout needs a value (SECONDS)\n");
                return kExitUsage;
            }
            if (!parse_number(argv[++i], uint64_t{86400} * 365, v) || v == 0) {
                std::fprintf(stderr, "pxr load: bad --timeout '%s'\n", argv[i]);
                return kExitUsage;
            }
            timeout = long(v);
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "pxr load: unknown option '%s'\n", argv[i]);
            usage(stderr);
            return kExitUsage;
        } else if (file == nullptr) {
            file = argv[i];
        } else {
            usage(stderr);
            return kExitUsage;
        }
    }
    if (file == nullptr) {
        usage(stderr);
        return kExitUsage;
    }

    Config cfg;
    std::vector<std::string> errors;
    bool unreadable = false;
    if (!read_config_file(file, cfg, errors, &unreadable)) {
        for (const std::string &e : errors) std::fprintf(stderr, "%s\n", e.c_str());
        // A file that could not be read at all is its one line; a parsed one gets a summary.
        if (!unreadable)
            std::fprintf(stderr, "pxr load: invalid configuration %s; nothing was created\n", file);
        return kExitBadConfig;
    }

    g_signal = 0;
    g_child = 0;
    g_exit_semid = -1;
    install_handlers();
    if (timeout > 0) alarm(unsigned(timeout));
    Loader loader(cfg, verbose);
    return loader.run();
}

} // namespace pxrtool
