// pxr clean: removes what a crashed environment left behind, so that a new load succeeds.
#include "tool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
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
    "usage: pxr clean [--dry-run] [--force]\n"
    "Remove every IPC object of the environment's key plan that is left behind (system\n"
    "lock, exit and fatal semaphores, common area, partitions and their locks, module\n"
    "queues), reporting each. Refuses while a loader still waits for its environment,\n"
    "unless --force is given.\n"
    "  -n, --dry-run   only report what would be removed\n"
    "  --force         remove even a running environment\n";

// Recorded processes that still run: a crashed loader does not stop them.
void report_survivors() {
    CommonView view;
    std::string why;
    if (!view.map(why)) return;
    int32_t count = view->process_count;
    if (count < 0 || count > PXR_MAX_PROCESSES) return;
    for (int32_t i = 0; i < count; ++i) {
        const ProcessEntry &e = view->processes[i];
        if (e.pid > 0 && (kill(e.pid, 0) == 0 || errno == EPERM))
            std::printf("note: recorded process %d (%.*s) is still running; it is not stopped\n",
                        e.pid, int(strnlen(e.name, sizeof e.name)), e.name);
    }
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
    bool dry_run = false, force = false;
    for (int i = 1; i < argc; ++i) {
        if (is_help(argv[i])) {
            std::fputs(kCleanHelp, stdout);
            return kExitOk;
        }
        if (std::strcmp(argv[i], "-n") == 0 || std::strcmp(argv[i], "--dry-run") == 0) {
            dry_run = true;
        } else if (std::strcmp(argv[i], "--force") == 0) {
            force = true;
        } else {
            std::fprintf(stderr, "pxr clean: unexpected argument '%s'\n%s", argv[i], kCleanHelp);
            return kExitUsage;
        }
    }
    if (loader_waiting() && !force && !dry_run) {
        std::fprintf(stderr, "pxr clean: an environment is running (its loader waits); use "
                             "'pxr terminate', or --force\n");
        return kExitFailure;
    }
    report_survivors();

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
