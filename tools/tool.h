// The subcommands of the pxr command and the pieces they share.
#pragma once

#include "pxrlib.h"
#include "view.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pxrtool {

// Exit statuses shared by the subcommands (the loader adds its own, see load.cpp).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 64;

int cmd_load(int argc, char **argv);
int cmd_status(int argc, char **argv);
int cmd_msgs(int argc, char **argv);
int cmd_queues(int argc, char **argv);
int cmd_procs(int argc, char **argv);
int cmd_watch(int argc, char **argv);
int cmd_terminate(int argc, char **argv);
int cmd_clean(int argc, char **argv);
int cmd_version(int argc, char **argv);
int cmd_metrics(int argc, char **argv);

// The environment's figures in the Prometheus text exposition format (pxr_up 0 alone when
// no environment exists). Reads without attaching or locking.
std::string metrics_text();

// One module id with a queue of its own or an alias, as the queue table and the kernel's
// queue statistics give it. Figures are -1 / 0 for aliases and for queues the kernel cannot
// report on.
struct QueueRow {
    uint32_t module = 0;
    uint32_t msqid = 0;
    bool own = false;
    int32_t target = -1; // alias: the module whose queue it shares
    int32_t pending = -1;
    int32_t last_receiver = -1;
    int64_t last_send = 0, last_receive = 0; // Unix time, whole seconds; 0: never
    bool ring = false;           // a ring queue: it counts what goes through it, and keeps no times
    uint64_t put = 0, taken = 0; // a ring's records in and out since its queue was made
};
std::vector<QueueRow> queue_rows(const CommonArea &ca);

// A recorded process's state: "running", "exited" (a zombie nobody has waited for yet) or
// "gone".
const char *process_state(int32_t pid);

// Removes every object of the environment's key plan that exists, the system lock last (so no
// environment can be created over half-removed objects). With a report stream each object
// gets one line there; without one the call is silent. dry_run only looks.
struct CleanResult {
    int found = 0;
    int failed = 0;
};
CleanResult clean_key_plan(bool dry_run, FILE *report);

int cmd_exec(int argc, char **argv);

// Named environments (named.cpp). run_named_loader runs cmd_load in a new IPC namespace
// registered under name and removes the registration when the loader ends; join_named moves
// the calling process into the named environment's namespace (false with a message naming
// cmd). check_name reports a name that cannot be one.
int run_named_loader(const std::string &name, int argc, char **argv);
bool join_named(const char *cmd, const std::string &name);
bool check_name(const char *cmd, const std::string &name);

// Dispatches argv[1] to its subcommand; the whole command line interface. A new subcommand
// is a cmd_NAME function declared above and one entry in the table of dispatch.cpp.
int pxr_main(int argc, char **argv);

// True when arg asks for help (-h, --help).
bool is_help(const char *arg);

// "0x" and the lower-case hex digits of v.
std::string hex(uint32_t v);

// The value of c as a digit of base 10 or 16 (either case), or -1.
int digit_value(char c, unsigned base);

// s as a JSON string: quoted, with quotes, backslashes and control characters escaped.
std::string json_string(const char *s);

// Whether a process with this id runs: the library's liveness test, in which a zombie has
// ended and another user's process runs.
bool pid_alive(int32_t pid);

// Converts the loader's exit status into the process exit status: 0 for 0, the magnitude
// for other values up to 63, and 63 beyond.
int exit_code_for_status(int32_t status);

// Whether a loader is blocked in PXR_wait_exit (someone waits on the exit semaphore).
bool loader_waiting();

// Attaches the calling process to a running environment with one PXR_init (no 15-second
// retry loop). On failure prints "pxr CMD: reason" on standard error and returns false.
bool attach_running(const char *cmd);
// The checks of attach_running before the attach: an environment exists and runs, and admits
// attachers (else a line on standard error and false); a warning when no loader waits for it.
bool environment_running(const char *cmd);
// 0 when the system lock is free within 2 s (or does not exist); else the pid that took it last
// (-1 when unknown).
int system_lock_held_by();
// Milliseconds on the monotonic clock, for deadlines.
long now_ms();

} // namespace pxrtool
