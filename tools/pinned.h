// The processes of an environment that the tools stop, held by pid file descriptors. A pid read
// from the process table (shared memory that other users may write) is pinned first
// (pidfd_open), then checked against the environment (membership.h), and counted only when the
// pinned process still runs after the check, so that what /proc said was about it. Both
// signals of the stop go through the descriptors, which never come to name another process:
// no pid reuse and no later write to the table can turn a signal towards someone else.
#pragma once

#include "membership.h"

#include <cstdio>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct CommonArea;

namespace pxrtool {

// From SIGTERM to SIGKILL when a tool ends an environment, as in PXR_close.
inline constexpr long kStopGraceMs = 1000;

struct PinnedProcess {
    pid_t pid = 0;
    int fd = -1;
    std::string name;
    bool killed = false; // it needed the SIGKILL
};

class PinnedList {
  public:
    PinnedList() = default;
    PinnedList(const PinnedList &) = delete;
    PinnedList &operator=(const PinnedList &) = delete;
    PinnedList(PinnedList &&other) noexcept : procs_(std::move(other.procs_)) {}
    ~PinnedList();

    // Pins pid when it is a running process of the environment. The reason it is not, or an
    // empty text when it was pinned (or had already ended: nothing to stop).
    std::string add(const Membership &m, pid_t pid, const std::string &name);

    // SIGTERM to every pinned process; once all have ended, or grace_ms has passed (a deadline
    // that handled signals do not bring forward), SIGKILL to those that still run.
    void stop(long grace_ms);

    const std::vector<PinnedProcess> &processes() const { return procs_; }
    bool empty() const { return procs_.empty(); }

  private:
    std::vector<PinnedProcess> procs_;
};

// Pins every distinct pid of the area's process table, after waiting a while for a system lock
// another process holds (so that an edit of the table under way ends first; past the limit,
// one line says the end goes on without it). Each running process that is not the
// environment's (or cannot be verified) is signalled by nobody: one line on standard error,
// "pxr CMD: process PID (NAME) is not signalled: REASON".
PinnedList pin_table(const CommonArea *area, const Membership &m, const char *cmd);
// Each entry of the area's process table (the count clamped to the table, the name ended).
void each_recorded(const CommonArea &area,
                   const std::function<void(int32_t pid, const std::string &name)> &fn);

} // namespace pxrtool
