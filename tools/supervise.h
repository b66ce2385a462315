// The loader's supervision table: what the loader knows about the processes it started
// (state, exit status or signal, start time, restarts), published in a shared-memory segment
// of its own so that `pxr procs` can show it. The loader is its only writer; readers map it
// read-only and retry while a change is under way (an odd sequence number).
//
// The segment lives beside the environment's objects, under a key of its own, with the
// permission bits of the environment's objects minus write access for others. The loader
// removes it when it ends; `pxr clean` removes one a crashed loader left.
#pragma once

#include "pxrlib.h"

#include <cstdint>
#include <string>

namespace pxrtool {

inline constexpr int kSupervisionKey = 0xE0420;
inline constexpr uint32_t kSupervisionMagic = 0x50585253; // "PXRS"

enum class ProcState : uint32_t {
    Running = 1,
    Exited = 2,     // ended with an exit status, not restarted (yet)
    Killed = 3,     // ended by a signal, not restarted (yet)
    Restarting = 4, // waits for its back-off before it starts again
    GaveUp = 5,     // reached its restart limit
    NotStarted = 6, // could not be started
};

const char *state_name(ProcState s);

struct SupervisedProcess {
    int32_t pid;       // current (or last) pid
    uint32_t state;    // ProcState
    int32_t exit_code; // last exit status, -1 = none
    int32_t signal;    // signal that ended it last, 0 = none
    uint32_t core_dumped;
    uint32_t restarts; // times it was started again
    int64_t started;   // start of the current (or last) run, seconds since the epoch
    uint32_t critical;
    uint32_t policy; // RestartPolicy
    char name[52];
};

struct SupervisionTable {
    uint32_t magic;
    uint32_t sequence; // odd while the loader writes
    int32_t loader_pid;
    uint32_t count;
    SupervisedProcess procs[PXR_MAX_PROCESSES];
};

// A consistent copy of the running loader's table; false when there is none.
bool read_supervision(SupervisionTable &out);

// What the tools show of the recorded processes, one story in every command: the supervision
// table's entries, and whether the loader that writes it still runs.
struct ProcessStories {
    SupervisionTable table{};
    bool present = false;     // a table made by the environment's creator
    bool loader_runs = false; // its loader still runs, so its states are current
    // The entry of pid (its current or last run), or null.
    const SupervisedProcess *entry(int32_t pid) const;
    // The state of a recorded pid: while its loader runs, the loader's word ("restarting",
    // "gave-up" ..., or "ended" for a process it has not collected yet); otherwise what the pid
    // shows now ("running", "exited", "gone").
    std::string state(int32_t pid) const;
};
ProcessStories read_stories();

// The exit status or signal of an entry as text: "exit 3", "SIGSEGV (core dumped)", "-".
std::string describe_end(int32_t exit_code, int32_t signal, bool core);

} // namespace pxrtool
