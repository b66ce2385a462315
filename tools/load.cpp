// pxr load: the loader. Builds the environment a configuration file describes, starts its
// processes and looks after them while it waits for a termination request (reporting every
// process that ends, restarting it by its policy, giving back the buffers it held), then
// removes everything again.
#include "config.h"
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

namespace {

constexpr int kExitBadConfig = 65; // the file is invalid; nothing was created
constexpr int kExitSetup = 69;     // the environment could not be built; nothing is left
constexpr int kExitCritical = 70;  // a critical process ended; the environment was ended
constexpr int kExitGone = 71;      // another process closed the environment under the loader
constexpr int kExitTimeout = 124;  // --timeout expired; the environment was terminated

// Restart back-off: the spawn line's restart-delay (100 ms unless set) doubling to 10 s, back
// to the first delay after a run of 10 s.
constexpr long kBackoffMaxMs = 10000;
constexpr long kRestartResetMs = 10000;
constexpr long kTickMs = 100;            // longest the loader sleeps between looks
constexpr long kReclaimEveryMs = 2000;   // look for buffers of other dead processes
constexpr long kCloseGraceMs = 3000;     // time another closer gets to finish its close
constexpr uint32_t kLockWaitMs = 50;     // longest wait for the system lock while supervising
constexpr uint32_t kScreenWaitMs = 5000; // and before the close, for the table's screening

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

long now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return long(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void sleep_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

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

// One spawn line and the process that runs it.
struct Child {
    const SpawnConfig *line = nullptr;
    pid_t pid = 0;
    pid_t recorded_pid = 0;      // the pid its entry of the process table holds, 0 = none yet
    bool record_pending = false; // the system lock was held when it should have been recorded
    ProcState state = ProcState::NotStarted;
    long started_ms = 0;
    long restart_at_ms = 0; // when Restarting
    long backoff_ms = 0;
    uint32_t restarts = 0;
    uint32_t streak = 0; // restarts since the last long run
    int32_t exit_code = -1;
    int32_t signal = 0;
    bool core = false;
    int64_t started_epoch = 0;
    const char *name() const { return line->argv[0].c_str(); }
};

// Why the supervision loop ended.
enum class End { Terminated, Signal, Critical, Gone };

struct Loader {
    Loader(const Config &config, bool loud) : cfg(config), verbose(loud) {}

    const Config &cfg;
    bool verbose;
    std::vector<Child> children;
    Segment area_segment; // the loader's own read-write mapping of the common area
    CommonArea *area = nullptr;
    int area_id = -1;
    Segment table_segment;
    SupervisionTable *table = nullptr;
    bool closing = false;
    std::string critical_line;

    // ---- messages ----
    void say(const char *fmt, const std::string &a, long b = 0) const {
        if (!verbose) return;
        std::fprintf(stderr, "pxr load: ");
        std::fprintf(stderr, fmt, a.c_str(), b);
        std::fputc('\n', stderr);
    }

    // ---- the supervision table others read ----
    void open_table() {
        table_segment =
            Segment::publish(kSupervisionKey, sizeof(SupervisionTable), PXR_IPC_MODE & 0644);
        if (!table_segment) { // supervision works without it; pxr procs shows less
            if (table_segment.error() == EPERM)
                std::fprintf(stderr,
                             "pxr load: the supervision table (key 0x%x) belongs to another "
                             "user; pxr procs will show less\n",
                             unsigned(kSupervisionKey));
            return;
        }
        table = reinterpret_cast<SupervisionTable *>(table_segment.writable());
        std::memset(static_cast<void *>(table), 0, sizeof *table);
        table->loader_pid = int32_t(getpid());
        table->count = uint32_t(std::min<std::size_t>(children.size(), PXR_MAX_PROCESSES));
        std::atomic_ref<uint32_t>(table->magic).store(kSupervisionMagic);
    }

    void publish(const Child &c) {
        if (table == nullptr) return;
        const std::size_t i = std::size_t(&c - children.data());
        if (i >= PXR_MAX_PROCESSES) return;
        std::atomic_ref<uint32_t> seq(table->sequence);
        seq.fetch_add(1); // odd: readers retry
        SupervisedProcess &e = table->procs[i];
        e.pid = c.pid;
        e.state = uint32_t(c.state);
        e.exit_code = c.exit_code;
        e.signal = c.signal;
        e.core_dumped = c.core;
        e.restarts = c.restarts;
        e.started = c.started_epoch;
        e.critical = c.line->critical;
        e.policy = uint32_t(c.line->restart);
        std::snprintf(e.name, sizeof e.name, "%.49s", c.name());
        seq.fetch_add(1);
    }

    void close_table() {
        table_segment.remove();
        table_segment = Segment();
        table = nullptr;
    }

    // ---- building ----
    // Recorded processes of an existing environment that still run and are its own.
    static int live_recorded_processes() {
        CommonView view;
        std::string why;
        if (!view.map(why)) return 0;
        const Membership m = membership(0);
        int live = 0;
        const int32_t n = std::clamp<int32_t>(view->process_count, 0, PXR_MAX_PROCESSES);
        for (int32_t i = 0; i < n; ++i) {
            const int32_t pid = view->processes[i].pid;
            if (pid > 0 && PXR_process_gone(pid) == 0 && not_a_member(m, pid).empty()) ++live;
        }
        return live;
    }

    // Takes every entry that is not a process of this environment out of the process table
    // (one line each for those that run), so that the library's close, which signals every
    // entry, reaches only ours.
    void screen_process_table() {
        if (area == nullptr) return;
        const Membership m = membership(getpid());
        const int32_t n = std::clamp<int32_t>(area->process_count, 0, PXR_MAX_PROCESSES);
        std::vector<ProcessEntry> foreign;
        for (int32_t i = 0; i < n; ++i) {
            const ProcessEntry e = area->processes[i];
            const bool runs = e.pid > 0 && PXR_process_gone(e.pid) == 0;
            if (!runs || !not_a_member(m, e.pid).empty()) foreign.push_back(e);
        }
        for (const ProcessEntry &e : foreign) {
            const bool runs = e.pid > 0 && PXR_process_gone(e.pid) == 0;
            const std::string why = runs ? not_a_member(m, e.pid) : "";
            const int rc = SYS_remove_pid(e.pid, kScreenWaitMs);
            if (rc == 2)
                std::fprintf(stderr,
                             "pxr load: the system lock is held (pid %d took it last); process %d "
                             "(%.*s) stays in the table\n",
                             lock_holder(), int(e.pid), int(sizeof e.name), e.name);
            else if (rc == 0 && runs)
                std::fprintf(stderr, "pxr load: took process %d (%.*s) out of the table: %s\n",
                             int(e.pid), int(sizeof e.name), e.name, why.c_str());
        }
    }

    // The library's close, after the table holds only this environment's processes.
    void close_environment() {
        screen_process_table();
        PXR_close();
    }

    int build() {
        uint32_t flags = PXR_INIT_CREATE | cfg.init_flags;
        int rc = PXR_init(flags, 0, cfg.congestion_module);
        if (rc == 1) {
            const int live = live_recorded_processes();
            if (live > 0 && !loader_waiting())
                std::fprintf(stderr,
                             "pxr load: a crashed environment was left behind and %d of its "
                             "recorded processes still %s; 'pxr clean' stops them and removes "
                             "it\n",
                             live, live == 1 ? "runs" : "run");
            else
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
        // A mapping of its own: it stays valid when a failed lock call detaches the library.
        area_segment = Segment::attach(PXR_common_area_id());
        if (!area_segment) return fail("cannot map the common area");
        area = reinterpret_cast<CommonArea *>(area_segment.writable());
        area_id = area_segment.id();

        if (cfg.ring_capacity != 0) {
            if (PXR_ring_queues(cfg.ring_capacity) != 0) return fail("cannot make the ring queues");
            say("ring queues of %s records", std::to_string(cfg.ring_capacity));
        }
        const int32_t form = cfg.atomic() ? PXR_OPEN_ATOMIC : 0;
        for (int part = 0; part < 2; ++part) {
            const PartitionConfig &pc = cfg.partitions[part];
            if (!pc.defined) continue;
            if (PXR_open_partition(part, pc.buffers, pc.size, pc.onset, pc.abate,
                                   PXR_OPEN_CREATE | form) != 0)
                return fail("cannot create partition " + std::to_string(part));
            say("partition %s created", std::to_string(part));
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
        if (g_signal != 0) return fail("interrupted");

        // The exit semaphore is made here rather than inside the wait, so that a signal can
        // post it from the moment the processes run.
        int semid = TSEMA_open(IPC_CREAT | PXR_IPC_MODE);
        if (semid < 0) return fail("cannot create the exit semaphore");
        semctl(semid, 0, SETVAL, 0); // a count left by an earlier run must not end the wait
        g_exit_semid = semid;
        if (g_signal != 0) return fail("interrupted");

        // Every process that attaches from now on starts with this receive spin window.
        if (cfg.receive_spin_us >= 0 &&
            PXR_set_default_receive_spin(uint32_t(cfg.receive_spin_us)) != 0)
            return fail("cannot set the default receive spin window");
        for (const SpawnConfig &s : cfg.spawns) children.push_back(Child{&s});
        open_table();
        return 0;
    }

    // Undoes a partly built environment: every object made so far goes away.
    int fail(const std::string &what) {
        std::fprintf(stderr, "pxr load: %s; removing what was made\n", what.c_str());
        alarm(0);
        closing = true;
        remove_exit_semaphore();
        close_environment();
        stop_children();
        finish();
        return g_signal != 0 ? signal_exit() : kExitSetup;
    }

    // ---- starting ----
    // Forks and executes the spawn line. Exec failures come back through a pipe that the
    // exec closes, so they are known before this returns. False with the reason in why.
    bool start(Child &c, std::string &why) {
        const SpawnConfig &s = *c.line;
        std::vector<char *> argv;
        for (const std::string &a : s.argv) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int pipefd[2];
        if (pipe2(pipefd, O_CLOEXEC) != 0) {
            why = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
        std::fflush(nullptr); // the child must not inherit unwritten output
        // No handler of the loader may run in the child before it has reset them.
        sigset_t all, saved;
        sigfillset(&all);
        sigprocmask(SIG_SETMASK, &all, &saved);
        pid_t pid = fork();
        if (pid != 0) sigprocmask(SIG_SETMASK, &saved, nullptr);
        if (pid < 0) {
            why = std::string("fork: ") + std::strerror(errno);
            close(pipefd[0]);
            close(pipefd[1]);
            return false;
        }
        if (pid == 0) {
            close(pipefd[0]);
            restore_handlers();
            std::signal(SIGPIPE, SIG_DFL); // an ignored signal would stay ignored across exec
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            // The step that failed (0 chdir, 1 exec, 2 pin) and its errno go to the loader.
            auto give_up = [&](int step) {
                int err[2] = {step, errno};
                ssize_t w = write(pipefd[1], err, sizeof err);
                (void)w;
                _exit(127);
            };
            if (!s.cwd.empty() && chdir(s.cwd.c_str()) != 0) give_up(0);
            if (!s.cpus.empty()) {
                cpu_set_t set;
                CPU_ZERO(&set);
                for (uint16_t cpu : s.cpus) CPU_SET(cpu, &set);
                if (sched_setaffinity(0, sizeof set, &set) != 0) give_up(2);
            }
            for (const std::string &e : s.env) putenv(const_cast<char *>(e.c_str()));
            execvp(s.program.c_str(), argv.data());
            give_up(1);
        }
        close(pipefd[1]);
        int err[2];
        ssize_t n;
        do {
            n = read(pipefd[0], err, sizeof err);
        } while (n < 0 && errno == EINTR);
        close(pipefd[0]);
        if (n == ssize_t(sizeof err)) {
            waitpid(pid, nullptr, 0);
            why = std::string(err[0] == 0   ? "cannot enter " + s.cwd
                              : err[0] == 2 ? "cannot pin " + s.program + " to its cpu list"
                                            : "cannot execute " + s.program) +
                  ": " + std::strerror(err[1]);
            return false;
        }
        c.pid = pid;
        c.started_ms = now_ms();
        c.started_epoch = int64_t(time(nullptr));
        c.state = ProcState::Running; // the last end stays shown until the next one
        return true;
    }

    // Records the process in the process table: a new entry the first time, the entry of its
    // predecessor on a restart (so the table holds live processes, not a trail of dead ones,
    // and never runs full however often a process is restarted). The system lock is waited
    // for briefly: while another process holds it the record stays pending and is tried again
    // at every look, so the loader never stalls. 0 recorded, 1 failed, 2 pending.
    int record(Child &c) {
        int rc = c.recorded_pid > 0 ? SYS_replace_pid(c.recorded_pid, c.pid, kLockWaitMs) : 1;
        if (rc == 1) rc = SYS_add_pid_within(c.pid, c.name(), kLockWaitMs);
        c.record_pending = rc == 2;
        if (rc == 0) c.recorded_pid = c.pid;
        return rc;
    }

    // The process that took the system lock last: the likely holder, for the report.
    static int lock_holder() {
        const int semid = semget(PXR_KEY_SYSTEM_LOCK, 0, 0);
        return semid < 0 ? 0 : semctl(semid, 0, GETPID);
    }

    void record_pending() {
        for (Child &c : children)
            if (c.record_pending && c.state == ProcState::Running && record(c) == 0)
                say("recorded %s (pid %ld) now that the system lock is free", c.name(),
                    long(c.pid));
    }

    // Starts (or restarts) one process; a failure is reported and handled like an end.
    void launch(Child &c) {
        std::string why;
        if (!start(c, why)) {
            std::fprintf(stderr, "pxr load: cannot start '%s': %s\n", c.name(), why.c_str());
            c.pid = 0;
            c.exit_code = 127;
            c.state = ProcState::NotStarted;
            decide_after_end(c, /*failed=*/true, /*ran_ms=*/0);
            return;
        }
        const int recorded = record(c);
        if (recorded == 2)
            std::fprintf(stderr,
                         "pxr load: the system lock is held (pid %d took it last); '%s' (pid %d) "
                         "is recorded once it is free\n",
                         lock_holder(), c.name(), int(c.pid));
        if (recorded == 1) {
            // A process that is not recorded would not be stopped by the close: stop it.
            std::fprintf(stderr,
                         "pxr load: cannot record '%s' (pid %d) in the process table; "
                         "stopped it\n",
                         c.name(), int(c.pid));
            kill(c.pid, SIGKILL);
            waitpid(c.pid, nullptr, 0);
            c.state = ProcState::NotStarted;
            publish(c);
            return;
        }
        say(c.restarts == 0 ? "started %s (pid %ld)" : "restarted %s (pid %ld)", c.name(),
            long(c.pid));
        publish(c);
    }

    // ---- after a process ended ----
    static std::string end_text(const Child &c) {
        return c.signal != 0 ? describe_end(-1, c.signal, c.core)
                             : describe_end(c.exit_code, 0, false);
    }

    // Decides what follows the end of a process and puts it into the report line's tail.
    std::string decide_after_end(Child &c, bool failed, long ran_ms) {
        const SpawnConfig &s = *c.line;
        if (ran_ms >= kRestartResetMs || c.restarts == 0) {
            c.streak = 0;
            c.backoff_ms = s.restart_delay_ms;
        }
        bool again =
            s.restart == RestartPolicy::Always || (s.restart == RestartPolicy::OnFailure && failed);
        std::string next;
        if (again && s.restart_limit != 0 && c.streak >= s.restart_limit) {
            c.state = ProcState::GaveUp;
            next = "gave up after " + std::to_string(c.streak) + " restarts in a row";
            again = false;
        } else if (again) {
            c.state = ProcState::Restarting;
            c.restart_at_ms = now_ms() + c.backoff_ms;
            char buf[64];
            std::snprintf(buf, sizeof buf, "restarting in %ld ms", c.backoff_ms);
            next = buf;
            c.backoff_ms =
                std::min(c.backoff_ms * 2, std::max(kBackoffMaxMs, long(s.restart_delay_ms)));
        } else if (c.state != ProcState::NotStarted) {
            c.state = c.signal != 0 ? ProcState::Killed : ProcState::Exited;
            next = "not restarted (restart=" +
                   std::string(s.restart == RestartPolicy::No ? "no" : "on-failure") + ")";
        } else {
            next = "not restarted";
        }
        if (!again && s.critical) {
            next += "; it is critical: ending the environment";
            if (critical_line.empty()) {
                critical_line = "critical process '" + std::string(c.name()) + "'" +
                                (c.pid > 0 ? " (pid " + std::to_string(c.pid) + ")" : "") +
                                " ended (" + (c.pid > 0 ? end_text(c) : "not started") + ")";
            }
        }
        publish(c);
        return next;
    }

    // Gives back the buffers a dead process held; a note for the report line.
    std::string reclaim_for(pid_t pid) {
        PXR_reclaim_stats st{};
        if (PXR_reclaim_buffers(int32_t(pid), 0, &st, nullptr, 0) != 0) return "";
        std::string note;
        if (st.returned != 0)
            note += "; " + std::to_string(st.returned) + " buffer" + (st.returned == 1 ? "" : "s") +
                    " it held returned";
        if (st.queued != 0) note += "; " + std::to_string(st.queued) + " it sent still queued";
        return note;
    }

    void child_ended(Child &c, int status) {
        const long ran = now_ms() - c.started_ms;
        const pid_t pid = c.pid;
        c.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        c.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        c.core = WIFSIGNALED(status) && WCOREDUMP(status);
        const bool failed = c.signal != 0 || c.exit_code != 0;
        if (closing) {
            c.state = c.signal != 0 ? ProcState::Killed : ProcState::Exited;
            publish(c);
            say("%s ended while the environment closes (pid %ld)", c.name(), long(pid));
            return;
        }
        const std::string reclaimed = reclaim_for(pid);
        const std::string next = decide_after_end(c, failed, ran);
        std::fprintf(stderr, "pxr load: %s (pid %d) %s %s after %.1f s%s; %s\n", c.name(), int(pid),
                     c.signal != 0 ? "was killed by" : "exited with", end_text(c).c_str(),
                     double(ran) / 1000.0, reclaimed.c_str(), next.c_str());
        if (c.state != ProcState::Restarting && critical_line.empty() && nothing_left())
            std::fprintf(stderr, "pxr load: no spawned process runs any more; the environment "
                                 "stays up until 'pxr terminate'\n");
    }

    bool nothing_left() const {
        if (children.empty()) return false;
        for (const Child &c : children)
            if (c.state == ProcState::Running || c.state == ProcState::Restarting) return false;
        return true;
    }

    Child *child_of(pid_t pid) {
        for (Child &c : children)
            if (c.pid == pid && c.state == ProcState::Running) return &c;
        return nullptr;
    }

    // Collects every child that ended since the last look.
    void reap_ended() {
        g_child = 0;
        for (;;) {
            int status;
            pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid <= 0) return;
            if (Child *c = child_of(pid)) child_ended(*c, status);
        }
    }

    void restart_due() {
        const long now = now_ms();
        for (Child &c : children) {
            if (c.state != ProcState::Restarting || now < c.restart_at_ms) continue;
            ++c.restarts;
            ++c.streak;
            launch(c);
        }
    }

    long next_restart_in() const {
        long wait = kTickMs;
        const long now = now_ms();
        for (const Child &c : children)
            if (c.state == ProcState::Restarting)
                wait = std::min(wait, std::max(0L, c.restart_at_ms - now));
        return wait;
    }

    // ---- the environment under the loader ----
    bool area_removed() const {
        struct shmid_ds ds;
        return shmctl(area_id, IPC_STAT, &ds) != 0 || (ds.shm_perm.mode & SHM_DEST) != 0;
    }

    bool closed_by_another() const {
        return (std::atomic_ref<uint32_t>(area->flags).load() & CA_CLOSING) != 0 || area_removed();
    }

    // Waits for the exit semaphore for at most ms. True when a termination was requested
    // (or the semaphore went away, which only a terminating process does).
    // With ms 0 it only looks.
    bool wait_exit(long ms) {
        if (ms > 0 && (g_child != 0 || g_signal != 0)) return g_signal != 0;
        return PXR_wait_exit_for(uint32_t(ms)) == 0;
    }

    End supervise() {
        PXR_admit_attachers();
        for (Child &c : children) launch(c);
        long next_reclaim = now_ms() + kReclaimEveryMs;
        for (;;) {
            if (g_child != 0) reap_ended();
            if (!critical_line.empty()) return End::Critical;
            if (g_signal != 0) return End::Signal;
            // A PXR_terminate posts (and later removes) the exit semaphore before it closes;
            // a close without it is another process's PXR_close.
            if (closed_by_another()) return wait_exit(0) ? End::Terminated : End::Gone;
            restart_due();
            record_pending();
            if (now_ms() >= next_reclaim) {
                PXR_reclaim_buffers(0, 0, nullptr, nullptr, 0);
                next_reclaim = now_ms() + kReclaimEveryMs;
            }
            if (wait_exit(next_restart_in())) return g_signal != 0 ? End::Signal : End::Terminated;
        }
    }

    // ---- ending ----
    void remove_exit_semaphore() {
        int id = g_exit_semid;
        g_exit_semid = -1;
        if (id >= 0) semctl(id, 0, IPC_RMID);
    }

    bool any_running() const {
        for (const Child &c : children)
            if (c.state == ProcState::Running) return true;
        return false;
    }

    // Ends the children that still run (the close has signalled the recorded ones) and
    // collects them, so none stays a zombie.
    void stop_children() {
        closing = true;
        for (int sig : {0, SIGTERM, SIGKILL}) {
            if (sig != 0)
                for (const Child &c : children)
                    if (c.state == ProcState::Running && c.pid > 0) kill(c.pid, sig);
            for (int round = 0; round < 50 && any_running(); ++round) {
                reap_ended();
                if (any_running()) sleep_ms(20);
            }
            if (!any_running()) return;
        }
    }

    void finish() {
        close_table();
        area_segment = Segment();
        area = nullptr;
        restore_handlers();
    }

    // Another process closed (or began to close) the environment: the loader lets that
    // close finish, finishes it itself when the closer died half-way, and leaves.
    int gone() {
        closing = true;
        std::fprintf(stderr, "pxr load: the environment was closed by another process "
                             "(PXR_close); stopping\n");
        const long until = now_ms() + kCloseGraceMs;
        while (!area_removed() && now_ms() < until) sleep_ms(50);
        if (area_removed())
            PXR_unlink();
        else
            close_environment();
        remove_exit_semaphore();
        stop_children();
        finish();
        return kExitGone;
    }

    int run() {
        if (int rc = build(); rc != 0) return rc;
        const End end = supervise();
        alarm(0);
        if (end == End::Gone) return gone();
        closing = true;
        if (end == End::Critical)
            std::fprintf(stderr, "pxr load: %s; ending the environment\n", critical_line.c_str());
        const int32_t status = area->exit_status;
        say("termination requested (exit status %s)", std::to_string(status));
        remove_exit_semaphore();
        close_environment();
        stop_children();
        finish();

        if (end == End::Critical) return kExitCritical;
        if (g_signal != 0) return signal_exit();
        if (status != 0)
            std::fprintf(stderr, "pxr load: the environment ended with exit status %d%s\n", status,
                         status_cause(status));
        return exit_code_for_status(status);
    }

    // What the environment's exit status says, for the loader's last line: the two statuses
    // that fatal-action=1 sets name their cause.
    static const char *status_cause(int32_t status) {
        if (status == -2)
            return ": fatal event 2, a buffer could not be had (no partition's parameter size "
                   "holds the length asked for, or none had a free buffer), and fatal-action=1 "
                   "ends the environment on it";
        if (status == -1)
            return ": a send failed for good (the destination's queue stayed full or has "
                   "gone), and fatal-action=1 ends the environment on it";
        return "";
    }

    // The exit status of a loader ended by a signal (or by its --timeout).
    static int signal_exit() {
        if (g_signal == SIGALRM) {
            std::fprintf(stderr, "pxr load: timeout; the environment was terminated\n");
            return kExitTimeout;
        }
        return 128 + g_signal;
    }
};

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
