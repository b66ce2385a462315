// pxr reclaim: gives back the buffers that processes which no longer run still hold.
#include "config.h"
#include "tool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace pxrtool {

namespace {

const char *kReclaimHelp =
    "usage: pxr reclaim [--dry-run] [--repair] [PID]\n"
    "       pxr reclaim [--dry-run] --queue MODULE\n"
    "Give back to their pools the buffers held by processes that no longer run (or by\n"
    "process PID only): buffers they allocated or received and that no queue references.\n"
    "Buffers they sent that still wait in a queue are left for their receiver. The loader\n"
    "does the same by itself whenever a process ends.\n"
    "  -n, --dry-run   only list what would be given back\n"
    "  --repair        first repair the lock-free free lists (PXR_repair_partition) and then\n"
    "                  also give back lock-free buffers whose release a kill cut short. Only\n"
    "                  while no process allocates or releases (the environment is quiet)\n"
    "  --queue MODULE  instead, empty the queue of MODULE, whose receivers are gone for good:\n"
    "                  each waiting message is taken and its buffer given back (a group\n"
    "                  member's copy: its share). Refused while the queue's last receiver runs\n"
    "Exit status: 0 done (also when nothing was found), 1 no environment or some buffers\n"
    "could not be decided, 64 usage.\n";

// --queue: the messages waiting for a module nobody will receive for again. Its last receiver
// still running is taken as a sign that somebody does.
int empty_queue(uint32_t module, bool dry_run) {
    if (!attach_running("reclaim")) return kExitFailure;
    const int32_t waiting = PXR_pending_msgs(module);
    const int32_t last = PXR_lastpid(module);
    int rc = kExitOk;
    if (waiting < 0) {
        std::fprintf(stderr, "pxr reclaim: module %u has no queue of its own\n", module);
        rc = kExitFailure;
    } else if (last > 0 && pid_alive(last)) {
        std::fprintf(
            stderr,
            "pxr reclaim: module %u's last receiver, pid %d, still runs: its queue is left\n",
            module, last);
        rc = kExitFailure;
    } else if (dry_run) {
        std::printf("pxr reclaim: %d message%s would be taken from module %u's queue\n", waiting,
                    waiting == 1 ? "" : "s", module);
    } else {
        int taken = 0;
        for (MSG *m; (m = PXR_grab(module)) != nullptr; ++taken) relm(m);
        std::printf("pxr reclaim: %d message%s taken from module %u's queue, buffers given back\n",
                    taken, taken == 1 ? "" : "s", module);
    }
    std::fflush(stdout);
    PXR_unlink();
    return rc;
}

} // namespace

int cmd_reclaim(int argc, char **argv) {
    bool dry_run = false, repair = false;
    int32_t pid = 0;
    uint64_t queue = 256; // none
    for (int i = 1; i < argc; ++i) {
        if (is_help(argv[i])) {
            std::fputs(kReclaimHelp, stdout);
            return kExitOk;
        }
        char *end = nullptr;
        if (std::strcmp(argv[i], "-n") == 0 || std::strcmp(argv[i], "--dry-run") == 0) {
            dry_run = true;
        } else if (std::strcmp(argv[i], "--repair") == 0) {
            repair = true;
        } else if (std::strcmp(argv[i], "--queue") == 0 && i + 1 < argc &&
                   parse_number(argv[i + 1], 254, queue)) {
            ++i;
        } else if (pid == 0 && argv[i][0] != '-' &&
                   (pid = int32_t(std::strtol(argv[i], &end, 10)), *end == '\0') && pid > 0) {
        } else {
            std::fprintf(stderr, "pxr reclaim: unexpected argument '%s'\n%s", argv[i],
                         kReclaimHelp);
            return kExitUsage;
        }
    }
    if (queue <= 254) {
        if (pid == 0 && !repair) return empty_queue(uint32_t(queue), dry_run);
        std::fprintf(stderr, "pxr reclaim: --queue takes no PID and no --repair\n%s", kReclaimHelp);
        return kExitUsage;
    }
    if (!attach_running("reclaim")) return kExitFailure;
    if (repair && !dry_run) {
        for (uint32_t p = 0; p < 2; ++p) {
            uint32_t relinked = 0;
            const int32_t r = PXR_repair_partition(p, &relinked);
            if (r == 0)
                std::printf("partition %u: free list repaired, %u buffer%s linked back\n", p,
                            relinked, relinked == 1 ? "" : "s");
            else if (r == 1)
                std::printf("partition %u: the free list is damaged; see 'pxr check'\n", p);
        }
    }
    std::vector<PXR_reclaimed_buffer> list(std::size_t{2} * 65000);
    PXR_reclaim_stats st{};
    const uint32_t flags =
        (dry_run ? PXR_RECLAIM_DRY_RUN : 0) | (repair ? PXR_RECLAIM_QUIESCENT : 0);
    int rc = PXR_reclaim_buffers(pid, flags, &st, list.data(), uint32_t(list.size()));
    if (rc != 0) {
        std::fprintf(stderr, "pxr reclaim: failed (%d)\n", rc);
        PXR_unlink();
        return kExitFailure;
    }
    for (uint32_t i = 0; i < st.returned && i < list.size(); ++i)
        std::printf("%s partition %u buffer %u (held by %d, which no longer runs)\n",
                    dry_run ? "would return" : "returned", list[i].partition, list[i].index,
                    list[i].holder);
    std::printf("pxr reclaim: %u buffer%s %s", st.returned, st.returned == 1 ? "" : "s",
                dry_run ? "would be returned" : "returned");
    if (st.queued != 0) std::printf("; %u still in a queue (left for the receiver)", st.queued);
    if (st.undecided != 0)
        std::printf("; %u undecided (a queue changed while it was read; try again)", st.undecided);
    std::printf("\n");
    std::fflush(stdout);
    PXR_unlink();
    return st.undecided == 0 ? kExitOk : kExitFailure;
}

} // namespace pxrtool
