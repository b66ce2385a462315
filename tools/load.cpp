// pxr load: the loader. Builds the environment a configuration file describes, starts its
// processes, waits for a termination request and removes everything again.
#include "config.h"
#include "tool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace pxrtool {

namespace {

constexpr int kExitBadConfig = 65; // the file is invalid; nothing was created
constexpr int kExitSetup = 69;     // the environment could not be built; nothing is left
constexpr int kExitTimeout = 124;  // --timeout expired; the environment was terminated

volatile sig_atomic_t g_signal = 0;
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

void install_handlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the semaphore wait must end
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGALRM, &sa, nullptr);
}

void restore_handlers() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
    std::signal(SIGALRM, SIG_DFL);
}

void usage(FILE *out) {
    std::fputs("usage: pxr load [-v] [--timeout SECONDS] FILE\n"
               "\n"
               "Create the environment FILE describes, start its processes and wait until a\n"
               "process calls PXR_terminate (or SIGINT/SIGTERM/SIGHUP arrive); then stop all\n"
               "and remove every IPC object. The whole file is checked first.\n"
               "\n"
               "  -v, --verbose        report each step on standard error\n"
               "  --timeout SECONDS    terminate the environment after SECONDS (exit 124)\n"
               "\n"
               "Exit status: 0 or the magnitude of the environment's exit status (1 a send\n"
               "failed, 2 buffers ran out), 64 usage, 65 invalid file, 69 cannot build,\n"
               "124 timeout, 128+N ended by signal N.\n",
               out);
}

struct Loader {
    const Config &cfg;
    bool verbose;
    std::vector<pid_t> children;

    void say(const char *fmt, const std::string &a, long b = 0) const {
        if (!verbose) return;
        std::fprintf(stderr, "pxr load: ");
        std::fprintf(stderr, fmt, a.c_str(), b);
        std::fputc('\n', stderr);
    }

    // Waits a little for the children the close has signalled, so none stays a zombie.
    void reap() {
        struct timespec step = {0, 20 * 1000 * 1000};
        for (int round = 0; round < 150 && !children.empty(); ++round) {
            for (std::size_t i = 0; i < children.size();) {
                pid_t r = waitpid(children[i], nullptr, WNOHANG);
                if (r == children[i] || (r < 0 && errno == ECHILD))
                    children.erase(children.begin() + long(i));
                else
                    ++i;
            }
            if (!children.empty()) nanosleep(&step, nullptr);
        }
    }

    void remove_exit_semaphore() {
        int id = g_exit_semid;
        g_exit_semid = -1;
        if (id >= 0) semctl(id, 0, IPC_RMID);
    }

    // Undoes a partly built environment: every object made so far goes away.
    int fail(const std::string &what) {
        std::fprintf(stderr, "pxr load: %s; removing what was made\n", what.c_str());
        alarm(0);
        remove_exit_semaphore();
        PXR_close();
        reap();
        restore_handlers();
        return g_signal != 0 ? signal_exit() : kExitSetup;
    }

    // The exit status of a loader ended by a signal (or by its --timeout).
    static int signal_exit() {
        if (g_signal == SIGALRM) {
            std::fprintf(stderr, "pxr load: timeout; the environment was terminated\n");
            return kExitTimeout;
        }
        return 128 + g_signal;
    }

    bool interrupted() const { return g_signal != 0; }

    int run() {
        uint32_t flags = PXR_INIT_CREATE | cfg.init_flags;
        int rc = PXR_init(flags, 0, cfg.congestion_module);
        if (rc == 1) {
            std::fprintf(stderr, "pxr load: an environment exists already (or a crashed one "
                                 "was left behind: see 'pxr clean')\n");
            return kExitSetup;
        }
        if (rc != 0) {
            PXR_close(); // removes a system lock this call made
            std::fprintf(stderr, "pxr load: cannot create the environment (PXR_init %d)\n", rc);
            return kExitSetup;
        }
        say("environment created (flags %s)", hex(flags));

        const int32_t form = cfg.atomic() ? PXR_OPEN_ATOMIC : 0;
        for (int p = 0; p < 2; ++p) {
            const PartitionConfig &part = cfg.partitions[p];
            if (!part.defined) continue;
            if (PXR_open_partition(p, part.buffers, part.size, part.onset, part.abate,
                                   PXR_OPEN_CREATE | form) != 0)
                return fail("cannot create partition " + std::to_string(p));
            say("partition %s created", std::to_string(p));
        }
        for (uint32_t m : cfg.queues) {
            if (IPC_create(m, 1) != 0) return fail("cannot create the queue of module " + hex(m));
            say("queue %s created", hex(m));
        }
        for (const AliasConfig &a : cfg.aliases) {
            if (IPC_attach(a.module, a.target) != 0)
                return fail("cannot make module " + hex(a.module) + " an alias");
            say("module %s is an alias", hex(a.module));
        }
        if (interrupted()) return fail("interrupted");

        // The exit semaphore is made here rather than inside PXR_wait_exit, so that a signal
        // can post it from the moment the processes run.
        int semid = TSEMA_open(IPC_CREAT | PXR_IPC_MODE);
        if (semid < 0) return fail("cannot create the exit semaphore");
        semctl(semid, 0, SETVAL, 0); // a count left by an earlier run must not end the wait
        g_exit_semid = semid;
        if (interrupted()) return fail("interrupted");

        // The spawned processes read their receive spin window from their environment.
        if (cfg.receive_spin_us >= 0)
            setenv("PXR_RECEIVE_SPIN_US", std::to_string(cfg.receive_spin_us).c_str(), 1);
        for (const SpawnConfig &s : cfg.spawns) {
            std::vector<char *> argv;
            for (const std::string &a : s.argv) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            std::fflush(nullptr); // the child must not inherit unwritten output
            int32_t pid = -1;
            int r = SYS_spawn_process(0, argv.data(), &pid);
            if (pid > 0) children.push_back(pid);
            if (r != 0) {
                if (pid > 0) kill(pid, SIGKILL); // started but not recorded: stop it here
                return fail("cannot start '" + s.argv[0] + "'");
            }
            say("started %s (pid %ld)", s.argv[0], pid);
        }

        int32_t status = PXR_wait_exit();
        alarm(0);
        say("termination requested (exit status %s)", std::to_string(status));
        g_exit_semid = -1; // PXR_wait_exit removed it
        PXR_close();
        reap();
        restore_handlers();

        if (g_signal != 0) return signal_exit();
        if (status != 0)
            std::fprintf(stderr, "pxr load: the environment ended with exit status %d\n", status);
        return exit_code_for_status(status);
    }

    static std::string hex(uint32_t v) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", v);
        return buf;
    }
};

} // namespace

int cmd_load(int argc, char **argv) {
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
        } else if (arg == "--timeout" && i + 1 < argc) {
            uint64_t v;
            if (!parse_number(argv[++i], 86400 * 365, v) || v == 0) {
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
    if (!read_config_file(file, cfg, errors)) {
        for (const std::string &e : errors) std::fprintf(stderr, "%s\n", e.c_str());
        std::fprintf(stderr, "pxr load: %zu error%s in %s; nothing was created\n", errors.size(),
                     errors.size() == 1 ? "" : "s", file);
        return kExitBadConfig;
    }

    g_signal = 0;
    g_exit_semid = -1;
    install_handlers();
    if (timeout > 0) alarm(unsigned(timeout));
    Loader loader{cfg, verbose, {}};
    return loader.run();
}

} // namespace pxrtool
