// pxr clean: removes what a crashed environment left behind, so that a new load succeeds.
#include "membership.h"
#include "bridge_stats.h"
#include "pinned.h"
#include "supervise.h"
#include "tool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>
#include <vector>

namespace pxrtool {

namespace {

enum class Kind { Semaphore, Memory, Queue };

struct Object {
    Kind kind;
    int key;
    std::string what;
};

std::vector<Object> key_plan() {
    std::vector<Object> plan;
    char buf[64];
    for (int m = 0; m < PXR_MODULE_COUNT; ++m) {
        std::snprintf(buf, sizeof buf, "module queue 0x%x", m);
        plan.push_back({Kind::Queue, PXR_KEY_MODULE_QUEUE + m, buf});
    }
    plan.push_back({Kind::Semaphore, PXR_KEY_EXIT_SEM, "exit semaphore"});
    plan.push_back({Kind::Semaphore, PXR_KEY_FATAL_SEM, "fatal-event semaphore"});
    for (int p = 0; p < 2; ++p) {
        std::snprintf(buf, sizeof buf, "partition %d message array", p);
        plan.push_back({Kind::Memory, PXR_KEY_MSG_ARRAY + p, buf});
        std::snprintf(buf, sizeof buf, "partition %d header", p);
        plan.push_back({Kind::Memory, PXR_KEY_PARTITION_HEADER + p, buf});
        std::snprintf(buf, sizeof buf, "partition %d lock", p);
        plan.push_back({Kind::Semaphore, PXR_KEY_PARTITION_LOCK + p, buf});
    }
    plan.push_back({Kind::Memory, PXR_KEY_COMMON_AREA, "common area"});
    plan.push_back({Kind::Memory, PXR_KEY_EXTENSION, "extension area"});
    plan.push_back({Kind::Memory, PXR_KEY_RING_QUEUES, "ring queues"});
    plan.push_back({Kind::Memory, PXR_KEY_GROUPS, "groups"});
    plan.push_back({Kind::Memory, kSupervisionKey, "loader's supervision table"});
    plan.push_back({Kind::Memory, pxrbridge::kStatsKey, "bridge counters"});
    plan.push_back({Kind::Memory, pxrbridge::kWindowsKey, "bridge send windows"});
    // Last: while the system lock exists no new environment can be created over the rest.
    plan.push_back({Kind::Semaphore, PXR_KEY_SYSTEM_LOCK, "system lock"});
    return plan;
}

// The id of the object, or -1 when there is none under its key.
int lookup(const Object &o) {
    switch (o.kind) {
    case Kind::Semaphore:
        return semget(o.key, 0, 0);
    case Kind::Memory:
        return shmget(o.key, 0, 0);
    case Kind::Queue:
        return msgget(o.key, 0);
    }
    return -1;
}

bool remove(const Object &o, int id) {
    switch (o.kind) {
    case Kind::Semaphore:
        return semctl(id, 0, IPC_RMID) == 0;
    case Kind::Memory:
        return shmctl(id, IPC_RMID, nullptr) == 0;
    case Kind::Queue:
        return msgctl(id, IPC_RMID, nullptr) == 0;
    }
    return false;
}

const char *kCleanHelp =
    "usage: pxr clean [--dry-run] [--force] [--keep-processes]\n"
    "Stop the processes that a crashed environment's process table records (SIGTERM, then\n"
    "SIGKILL after 2 seconds), then remove every IPC object of the environment's key plan\n"
    "that is left behind (system lock, exit and fatal semaphores, common area, partitions\n"
    "and their locks, module queues, ring queues, the loader's supervision table), reporting\n"
    "each.\n"
    "Refuses while a loader still looks after its environment, unless --force is given.\n"
    "  -n, --dry-run      only report what would be stopped and removed\n"
    "  --force            clean even a running environment\n"
    "  --keep-processes   leave the recorded processes running\n";

constexpr long kGraceMs = 2000;

struct Recorded {
    int32_t pid;
    std::string name;
};

// The live processes of the crashed environment's table (and of its loader's supervision
// table, which also names processes waiting for a restart's back-off).
std::vector<Recorded> recorded_processes() {
    std::vector<Recorded> out;
    CommonView view;
    std::string why;
    if (!view.map(why)) return out;
    each_recorded(*view.get(), [&](int32_t pid, const std::string &name) {
        bool dup = false;
        for (const Recorded &r : out) dup = dup || r.pid == pid;
        if (!dup) out.push_back({pid, name});
    });
    return out;
}

// Stops the recorded processes that still run and belong to the environment, by the handles it
// pinned them with; one line each, and one for each running process the table names that is
// not the environment's (or could not be verified), which nobody signals.
void stop_recorded(bool dry_run) {
    const Membership m = membership(0);
    PinnedList pinned;
    for (const Recorded &r : recorded_processes())
        if (const std::string why = pinned.add(m, r.pid, r.name); !why.empty())
            std::printf("left process %d (%s): %s\n", r.pid, r.name.c_str(), why.c_str());
    for (const PinnedProcess &p : pinned.processes())
        if (dry_run) std::printf("would stop process %d (%s)\n", int(p.pid), p.name.c_str());
    if (dry_run) return;
    pinned.stop(kGraceMs);
    for (const PinnedProcess &p : pinned.processes())
        std::printf("stopped process %d (%s) with %s\n", int(p.pid), p.name.c_str(),
                    p.killed ? "SIGKILL" : "SIGTERM");
}

} // namespace

CleanResult clean_key_plan(bool dry_run, FILE *report) {
    CleanResult r;
    for (const Object &o : key_plan()) {
        int id = lookup(o);
        if (id < 0) continue;
        ++r.found;
        if (dry_run) {
            if (report)
                std::fprintf(report, "would remove %s (key 0x%x, id %d)\n", o.what.c_str(), o.key,
                             id);
        } else if (remove(o, id)) {
            if (report)
                std::fprintf(report, "removed %s (key 0x%x, id %d)\n", o.what.c_str(), o.key, id);
        } else {
            if (report)
                std::fprintf(stderr, "pxr clean: cannot remove %s (key 0x%x, id %d): %s\n",
                             o.what.c_str(), o.key, id, std::strerror(errno));
            ++r.failed;
        }
    }
    return r;
}

int cmd_clean(int argc, char **argv) {
    bool dry_run = false, force = false, keep = false;
    for (int i = 1; i < argc; ++i) {
        if (is_help(argv[i])) {
            std::fputs(kCleanHelp, stdout);
            return kExitOk;
        }
        if (std::strcmp(argv[i], "-n") == 0 || std::strcmp(argv[i], "--dry-run") == 0) {
            dry_run = true;
        } else if (std::strcmp(argv[i], "--force") == 0) {
            force = true;
        } else if (std::strcmp(argv[i], "--keep-processes") == 0) {
            keep = true;
        } else {
            std::fprintf(stderr, "pxr clean: unexpected argument '%s'\n%s", argv[i], kCleanHelp);
            return kExitUsage;
        }
    }
    // A loader that still looks after its environment: it waits on the exit semaphore, or the
    // loader its supervision table names still runs.
    if ((loader_waiting() || read_stories().loader_runs) && !force && !dry_run) {
        std::fprintf(stderr, "pxr clean: an environment is running (its loader waits); use "
                             "'pxr terminate', or --force\n");
        return kExitFailure;
    }
    if (keep) {
        const Membership m = membership(0);
        for (const Recorded &r : recorded_processes())
            if (pid_alive(r.pid) && not_a_member(m, r.pid).empty())
                std::printf("kept process %d (%s); it may attach to the next environment\n", r.pid,
                            r.name.c_str());
    } else {
        stop_recorded(dry_run);
    }

    const CleanResult r = clean_key_plan(dry_run, stdout);
    const int found = r.found, failed = r.failed;
    if (found == 0)
        std::printf("pxr clean: nothing to remove\n");
    else if (!dry_run)
        std::printf("pxr clean: removed %d object%s\n", found - failed,
                    found - failed == 1 ? "" : "s");
    std::fflush(stdout);
    return failed == 0 ? kExitOk : kExitFailure;
}

} // namespace pxrtool
