// The loader behind `pxr load`, in three parts: building the environment a configuration
// describes (load_build.cpp), supervising the processes it starts, with their restart policy
// (load_supervise.cpp), and waiting for the end and ending (load_wait.cpp). The command line
// and the signal handling are load.cpp's.
#pragma once

#include "config.h"
#include "membership.h"
#include "supervise.h"
#include "tool.h"

#include <csignal>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pxrtool::load {

constexpr int kExitBadConfig = 65; // the file is invalid; nothing was created
constexpr int kExitSetup = 69;     // the environment could not be built; nothing is left
constexpr int kExitCritical = 70;  // a critical process ended; the environment was ended
constexpr int kExitGone = 71;      // another process closed the environment under the loader
constexpr int kExitTimeout = 124;  // --timeout expired; the environment was terminated

// Restart back-off: the spawn line's restart-delay (100 ms unless set) doubling to 10 s, back
// to the first delay after a run of 10 s.
constexpr long kBackoffMaxMs = 10000;
constexpr long kRestartResetMs = 10000;
constexpr long kTickMs = 100;          // longest the loader sleeps between looks
constexpr long kReclaimEveryMs = 2000; // look for buffers of other dead processes
constexpr long kCloseGraceMs = 3000;   // time another closer gets to finish its close
constexpr long kBridgeReadyMs = 5000;  // longest wait for the bridge before the other processes
constexpr uint32_t kLockWaitMs = 50;   // longest wait for the system lock while supervising

// Set by the signal handlers (load.cpp).
extern volatile sig_atomic_t g_signal;
extern volatile sig_atomic_t g_child;
extern volatile sig_atomic_t g_exit_semid;

// The default handlers again (for a process about to exec, and for the loader's end).
void restore_handlers();
void sleep_ms(long ms);

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
    bool terminated = false; // a PXR_terminate was taken while the loader waited for the bridge
    std::string critical_line;

    // ---- messages ----
    void say(const char *fmt, const std::string &a, long b = 0) const;

    // ---- the supervision table others read ----
    void open_table();

    void publish(const Child &c);

    void close_table();

    // ---- building ----
    // Recorded processes of an existing environment that still run and are its own.
    static int live_recorded_processes();

    // Ends the environment: stops the processes of the table that it pinned and verified as
    // this environment's (one line for each running one it could not), then the library's
    // close without its signals. No system lock is needed: one another process holds for as
    // long as it likes delays the end by 2 s (pin_table) but does not stop it.
    void close_environment();

    int build();

    // One line when root makes an environment every local user may use on a host where others
    // have accounts, naming the option that keeps them out.
    void warn_open_access() const;

    // Undoes a partly built environment: every object made so far goes away.
    int fail(const std::string &what);

    // ---- starting ----
    // Forks and executes the spawn line. Exec failures come back through a pipe that the
    // exec closes, so they are known before this returns. False with the reason in why.
    bool start(Child &c, std::string &why);

    // Records the process in the process table: a new entry the first time, the entry of its
    // predecessor on a restart (so the table holds live processes, not a trail of dead ones,
    // and never runs full however often a process is restarted). The system lock is waited
    // for briefly: while another process holds it the record stays pending and is tried again
    // at every look, so the loader never stalls. 0 recorded, 1 failed, 2 pending.
    int record(Child &c);

    // The process that took the system lock last: the likely holder, for the report.
    static int lock_holder();

    void record_pending();

    // Starts (or restarts) one process; a failure is reported and handled like an end.
    void launch(Child &c);

    // ---- after a process ended ----
    static std::string end_text(const Child &c);

    // Decides what follows the end of a process and puts it into the report line's tail.
    std::string decide_after_end(Child &c, bool failed, long ran_ms);

    // Gives back the buffers a dead process held; a note for the report line.
    std::string reclaim_for(pid_t pid);

    void child_ended(Child &c, int status);

    bool nothing_left() const;

    // The bridge returns the buffers its killed predecessor held itself (a message it had
    // taken for an acknowledged module goes on): the loader leaves them alone from the
    // bridge's end until the bridge started again has dealt with them.
    bool is_bridge(const Child &c) const;
    bool bridge_settled() const;

    Child *child_of(pid_t pid);

    // Collects every child that ended since the last look.
    void reap_ended();

    void restart_due();

    long next_restart_in() const;

    // ---- the environment under the loader ----
    bool area_removed() const;

    bool closed_by_another() const;

    // Waits for the exit semaphore for at most ms. True when a termination was requested
    // (or the semaphore went away, which only a terminating process does).
    // With ms 0 it only looks.
    bool wait_exit(long ms);

    // The bridge's spawn comes first: the other processes start once it has learnt its routes,
    // so that their first messages to other hosts (and the answers) are not lost. False when a
    // termination was asked for meanwhile (the others are then not started).
    bool await_bridge(const Child &c);

    End supervise();

    // ---- ending ----
    void remove_exit_semaphore();

    bool any_running() const;

    // Ends the children that still run (the close has signalled the recorded ones) and
    // collects them, so none stays a zombie.
    void stop_children();

    void finish();

    // Another process closed (or began to close) the environment: the loader lets that
    // close finish, finishes it itself when the closer died half-way, and leaves.
    int gone();

    int run();

    // What the environment's exit status says, for the loader's last line: the two statuses
    // that fatal-action=1 sets name their cause.
    static const char *status_cause(int32_t status);

    // The exit status of a loader ended by a signal (or by its --timeout).
    static int signal_exit();
};

} // namespace pxrtool::load
