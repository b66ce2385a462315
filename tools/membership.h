// Which recorded processes the tools may signal, or leave in the process table, on an
// environment's behalf. The table lives in a shared area that other users may write (and a
// whole environment may be forged by another user), so a pid in it proves nothing: a process
// counts as the environment's only when its real user created the common area and it is the
// loader's child (alive, or named with a matching start in the loader's supervision table) or
// maps this common area; never the loader itself, the loader's parent, this command, its
// parent or the leader of its process group.
#pragma once

#include "supervise.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace pxrtool {

// What /proc tells about one process. False when it has ended (and been reaped) or cannot be
// read.
struct ProcInfo {
    char state = '?'; // R, S, D, Z (a zombie: ended, not yet waited for), ...
    pid_t ppid = -1;
    uid_t real_uid = uid_t(-1);
    int64_t started = 0; // seconds since the epoch
    std::string comm;    // the command name, which may hold spaces and parentheses
};
bool read_proc(pid_t pid, ProcInfo &out);

// Whether pid maps the System V segment with this id.
bool maps_segment(pid_t pid, int shmid);

struct Membership {
    bool present = false; // a common area exists
    int common_id = -1;
    uid_t creator = uid_t(-1);
    pid_t loader = 0; // 0 when unknown
    pid_t loader_parent = 0;
    bool supervised = false; // sup holds the loader's table
    SupervisionTable sup{};
};

// The environment that exists now, with loader as its loader (pxr load passes itself; 0 takes
// the one its supervision table names).
Membership membership(pid_t loader);

// Why pid is not a process of the environment, or an empty text when it is one.
std::string not_a_member(const Membership &m, pid_t pid);

} // namespace pxrtool
