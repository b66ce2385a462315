// pxr status, msgs, queues, procs, watch, terminate: looking into a running environment.
// Each checks first, without attaching, that an environment runs, so none of them sits in
// the library's attach retries when there is nothing to attach to.
#include "groups.h"
#include "supervise.h"
#include "config_bridge.h"
#include "membership.h"
#include "pinned.h"
#include "rings.h"
#include "tool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/time.h>
#include <unistd.h>

namespace pxrtool {

namespace {

std::string format_time(const Timestamp &t) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.usec / 1000);
    return buf;
}

bool never_written(const Timestamp &t) {
    return t.year == 0 && t.month == 0 && t.day == 0 && t.hour == 0 && t.minute == 0 &&
           t.second == 0 && t.usec == 0;
}

// A time as a JSON value: a quoted time, or null for a time that was never written (the text
// report prints those as zeros).
std::string json_time(const Timestamp &t) {
    return never_written(t) ? "null" : "\"" + format_time(t) + "\"";
}

// Options shared by the query commands: --json and --help; anything else is a usage error.
bool parse_query_options(const char *cmd, int argc, char **argv, bool allow_json, bool &json,
                         const char *help, int &exit_code) {
    json = false;
    for (int i = 1; i < argc; ++i) {
        if (is_help(argv[i])) {
            std::fputs(help, stdout);
            exit_code = kExitOk;
            return false;
        }
        if (allow_json && std::strcmp(argv[i], "--json") == 0) {
            json = true;
            continue;
        }
        std::fprintf(stderr, "pxr %s: unexpected argument '%s'\n%s", cmd, argv[i], help);
        exit_code = kExitUsage;
        return false;
    }
    return true;
}

const char *kStatusHelp = "usage: pxr status [--json]\n"
                          "Print the status report of the running environment.\n";
const char *kMsgsHelp =
    "usage: pxr msgs [--json]\n"
    "List the allocated message buffers of the running environment (with --json one object\n"
    "per buffer: its place, header fields and the pids that took, sent and received it).\n";
const char *kQueuesHelp =
    "usage: pxr queues [--json]\n"
    "List the module ids that have a queue or are an alias: kind, pending references and\n"
    "the last process that received.\n";
const char *kProcsHelp =
    "usage: pxr procs [--json]\n"
    "List the process table of the running environment; for the processes the loader\n"
    "started also how the last run ended, when the current one started and the restarts.\n";
constexpr uint32_t kTerminateGraceMs = 200; // the loader's time to leave its wait

const char *kTerminateHelp = "usage: pxr terminate\n"
                             "Terminate the running environment (PXR_terminate).\n";

std::string partition_json(int p, const PartitionHeader &h) {
    char buf[1024];
    int32_t free_count = h.num_msgs - int32_t(h.alloc_count);
    std::snprintf(buf, sizeof buf,
                  "{\"partition\":%d,\"param_size\":%u,\"buffers\":%d,\"allocated\":%u,"
                  "\"free\":%d,\"max_allocated\":%u,\"max_allocated_since_reset\":%u,"
                  "\"max_time\":%s,\"out_of_msg\":%u,\"congestion\":{\"onset\":%u,"
                  "\"abate\":%u,\"status\":%u,\"count\":%u,\"count_since_reset\":%u,"
                  "\"last_onset\":%s,\"module\":%u}}",
                  p, h.param_size, h.num_msgs, h.alloc_count, free_count, h.max_alloc,
                  h.max_alloc_reset, json_time(h.max_alloc_time).c_str(), h.out_of_msg,
                  h.cong_onset, h.cong_abate, h.cong_status, h.cong_count, h.cong_count_reset,
                  json_time(h.cong_onset_time).c_str(), h.cong_module & 0xFF);
    return buf;
}

void print_status_json(const CommonArea &ca) {
    Timestamp now{};
    PLAT_timestamp(&now);
    uint32_t major = 0, minor = 0;
    PXR_get_version(&major, &minor);
    std::printf("{\"time\":\"%s\",\"restart_time\":%s,\"running\":%s,\"loader_waiting\":%s,"
                "\"interface_version\":\"%u.%u\",\"congestion_module\":%u,"
                "\"internal_errors\":%u,\"atomic\":%s,\"error_print\":%s,\"no_attach\":%s,"
                "\"access\":\"%04o\","
                "\"fatal_action\":%u,\"fatal_code\":%u,\"exit_status\":%d,\"tick\":%u,"
                "\"processes\":%d,\"partitions\":[",
                format_time(now).c_str(), json_time(ca.restart_time).c_str(),
                (ca.flags & CA_RUNNING) ? "true" : "false", loader_waiting() ? "true" : "false",
                major, minor, ca.congestion_module, ca.internal_errors,
                (ca.atomic_mode & 1) ? "true" : "false", ca.error_print ? "true" : "false",
                (ca.flags & CA_NO_ATTACH) ? "true" : "false", unsigned(PXR_access()),
                ca.fatal_action, ca.fatal_code, ca.exit_status, ca.tick, ca.process_count);
    bool first = true;
    for (int p = 0; p < 2; ++p) {
        if (partition_hdr[p] == nullptr) continue;
        std::printf("%s%s", first ? "" : ",", partition_json(p, *partition_hdr[p]).c_str());
        first = false;
    }
    // No groups member without groups, no bridge member without a bridge.
    const std::vector<GroupRow> rows = group_rows();
    const std::string groups = rows.empty() ? "" : ",\"groups\":" + groups_json(rows);
    std::printf("]%s%s}\n", groups.c_str(), bridge_status_json().c_str());
}

std::string name_of(const ProcessEntry &e) {
    return std::string(e.name, strnlen(e.name, sizeof e.name));
}

// The allocated buffers as a JSON array, with the buffers PXR_show_msgs lists. It reads the
// slots without the partition lock: a snapshot while traffic goes on.
void print_msgs_json() {
    std::printf("[");
    bool first = true;
    for (int p = 0; p < 2; ++p) {
        const PartitionHeader *h = partition_hdr[p];
        if (h == nullptr || partition_msgarray[p] == nullptr) continue;
        // Through the view: a slot lies wholly in the array as the kernel sizes it, whatever
        // the header says now.
        const PartitionView view(p);
        for (int32_t i = 0; i < h->num_msgs; ++i) {
            const SysMsg *s = view.slot(uint32_t(i));
            if (s == nullptr) break;
            const auto *m = reinterpret_cast<const MSG *>(reinterpret_cast<const uint8_t *>(s) +
                                                          PXR_SYSMSG_SIZE);
            if (s->allocated == 0 || m->type == 0xC002) continue;
            std::printf("%s{\"partition\":%d,\"index\":%d,\"type\":%u,\"id\":%u,\"src\":%u,"
                        "\"dst\":%u,\"reply_mask\":%u,\"class\":%u,\"status\":%u,\"info\":%u,"
                        "\"instance\":%u,\"len\":%u,\"getmem_pid\":%d,\"send_pid\":%d,"
                        "\"receive_pid\":%d}",
                        first ? "" : ",", p, i, m->type, m->id, m->src, m->dst, m->reply_mask,
                        m->msg_class, m->status, m->info, m->instance, m->len, s->getmem_pid,
                        s->send_pid, s->receive_pid);
            first = false;
        }
    }
    std::printf("]\n");
}

} // namespace

const char *process_state(int32_t pid) {
    ProcInfo info;
    if (read_proc(pid, info)) return info.state == 'Z' || info.state == 'X' ? "exited" : "running";
    return pid_alive(pid) ? "running" : "gone";
}

int cmd_status(int argc, char **argv) {
    bool json;
    int code;
    if (!parse_query_options("status", argc, argv, true, json, kStatusHelp, code)) return code;
    if (!attach_running("status")) return kExitFailure;
    if (json) {
        CommonView view;
        if (!view.map_for("status")) {
            PXR_unlink();
            return kExitFailure;
        }
        print_status_json(*view.get());
    } else {
        PXR_get_status();
    }
    std::fflush(stdout);
    PXR_unlink();
    return kExitOk;
}

int cmd_msgs(int argc, char **argv) {
    bool json;
    int code;
    if (!parse_query_options("msgs", argc, argv, true, json, kMsgsHelp, code)) return code;
    if (!attach_running("msgs")) return kExitFailure;
    if (json)
        print_msgs_json();
    else
        PXR_show_msgs();
    std::fflush(stdout);
    PXR_unlink();
    return kExitOk;
}

std::vector<QueueRow> queue_rows(const CommonArea &ca) {
    const RingsView rings;
    std::vector<QueueRow> rows;
    for (uint32_t m = 0; m < PXR_MODULE_COUNT; ++m) {
        const ModuleQueueEntry &e = ca.module_queues[m];
        if (e.msqid == PXR_NO_QUEUE) continue;
        QueueRow row;
        row.module = m;
        row.msqid = e.msqid;
        row.own = (e.queue_flags & 1) != 0;
        row.target = !row.own && e.alias_of < PXR_MODULE_COUNT ? int32_t(e.alias_of) : -1;
        struct msqid_ds ds;
        RingFigures ring;
        if (row.own && rings.figures(m, e.msqid, ring)) {
            row.pending = int32_t(ring.waiting);
            row.last_receiver = ring.last_receiver;
            row.ring = true;
            row.put = ring.put;
            row.taken = ring.taken;
        } else if (row.own && msgctl(int(e.msqid), IPC_STAT, &ds) == 0) {
            row.pending = int32_t(ds.msg_qnum);
            row.last_receiver = ds.msg_lrpid;
            row.last_send = ds.msg_stime;
            row.last_receive = ds.msg_rtime;
        }
        rows.push_back(row);
    }
    return rows;
}

namespace {

void print_queues_json(const std::vector<QueueRow> &rows, const std::vector<GroupRow> &groups) {
    std::printf("[");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const QueueRow &r = rows[i];
        const char *sep = i == 0 ? "" : ",";
        if (r.own && r.ring)
            std::printf("%s{\"module\":%u,\"kind\":\"own\",\"queue_id\":%u,\"pending\":%d,"
                        "\"last_receiver\":%d,\"ring\":true,\"put\":%llu,\"taken\":%llu}",
                        sep, r.module, r.msqid, r.pending, r.last_receiver,
                        static_cast<unsigned long long>(r.put),
                        static_cast<unsigned long long>(r.taken));
        else if (r.own)
            std::printf("%s{\"module\":%u,\"kind\":\"own\",\"queue_id\":%u,\"pending\":%d,"
                        "\"last_receiver\":%d}",
                        sep, r.module, r.msqid, r.pending, r.last_receiver);
        else
            std::printf("%s{\"module\":%u,\"kind\":\"alias\",\"target\":%d,\"queue_id\":%u}", sep,
                        r.module, r.target, r.msqid);
    }
    // The groups' objects, each marked "kind":"group", go on in the same array.
    const std::string g = groups_json(groups, "\"kind\":\"group\",");
    if (g.size() > 2)
        std::printf("%s%s", rows.empty() ? "" : ",", g.substr(1, g.size() - 2).c_str());
    std::printf("]\n");
}

void print_queues_text(const std::vector<QueueRow> &rows, const std::vector<GroupRow> &groups) {
    std::printf("%-8s %-12s %10s %8s %14s\n", "MODULE", "KIND", "QUEUE-ID", "PENDING",
                "LAST-RECEIVER");
    for (const QueueRow &r : rows) {
        if (r.own) {
            std::printf("0x%-6x %-12s %10u %8d %14d\n", r.module, "own", r.msqid, r.pending,
                        r.last_receiver);
            continue;
        }
        char kind[24] = "no receiver";
        if (r.target >= 0) std::snprintf(kind, sizeof kind, "alias 0x%x", unsigned(r.target));
        std::printf("0x%-6x %-12s %10u %8s %14s\n", r.module, kind, r.msqid, "-", "-");
    }
    for (const GroupRow &g : groups) {
        uint32_t dropped = 0;
        for (uint32_t d : g.dropped) dropped += d;
        std::printf("0x%-6x %-12s members %s%s; %u sends, %u shares dropped\n", g.module, "group",
                    member_list(g).c_str(), g.all_or_nothing ? " (all or nothing)" : "", g.sends,
                    dropped);
    }
}

} // namespace

int cmd_queues(int argc, char **argv) {
    bool json;
    int code;
    if (!parse_query_options("queues", argc, argv, true, json, kQueuesHelp, code)) return code;
    if (!attach_running("queues")) return kExitFailure;
    CommonView view;
    if (!view.map_for("queues")) {
        PXR_unlink();
        return kExitFailure;
    }
    std::vector<QueueRow> rows = queue_rows(*view.get());
    const std::vector<GroupRow> groups = group_rows();
    if (json)
        print_queues_json(rows, groups);
    else
        print_queues_text(rows, groups);
    std::fflush(stdout);
    PXR_unlink();
    return kExitOk;
}

int cmd_procs(int argc, char **argv) {
    bool json;
    int code;
    if (!parse_query_options("procs", argc, argv, true, json, kProcsHelp, code)) return code;
    CommonView view;
    if (!view.map_for("procs")) return kExitFailure;
    // The process table needs no attachment; a crashed environment still shows its table.
    // What the loader knows about the processes it started comes from its supervision table.
    const ProcessStories stories = read_stories();
    int32_t count = view->process_count;
    if (count < 0) count = 0;
    if (count > PXR_MAX_PROCESSES) count = PXR_MAX_PROCESSES;
    if (json)
        std::printf("[");
    else
        std::printf("%-8s %-19s %-8s %-22s %-11s %s\n", "PID", "STARTED", "RESTARTS", "LAST END",
                    "STATE", "NAME");
    for (int32_t i = 0; i < count; ++i) {
        const ProcessEntry &e = view->processes[i];
        std::string name = name_of(e);
        const SupervisedProcess *s = stories.entry(e.pid);
        const std::string state = stories.state(e.pid);
        std::string ended =
            s != nullptr ? describe_end(s->exit_code, s->signal, s->core_dumped) : std::string("-");
        std::string started = "-";
        if (s != nullptr && s->started > 0) {
            Timestamp t{};
            PLAT_localtime(s->started, &t);
            started = format_time(t).substr(0, 19);
        }
        if (json) {
            std::printf("%s{\"pid\":%d,\"name\":%s,\"state\":\"%s\"", i ? "," : "", e.pid,
                        json_string(name.c_str()).c_str(), state.c_str());
            if (s != nullptr)
                std::printf(",\"exit_status\":%d,\"signal\":%d,\"core_dumped\":%s,"
                            "\"started\":%lld,\"restarts\":%u,\"critical\":%s",
                            s->exit_code, s->signal, s->core_dumped ? "true" : "false",
                            static_cast<long long>(s->started), s->restarts,
                            s->critical ? "true" : "false");
            std::printf("}");
        } else {
            // STATE holds the longest state, "not-started".
            std::printf("%-8d %-19s %-8s %-22s %-11s %s\n", e.pid, started.c_str(),
                        s != nullptr ? std::to_string(s->restarts).c_str() : "-", ended.c_str(),
                        state.c_str(), name.c_str());
        }
    }
    if (json) std::printf("]\n");
    std::fflush(stdout);
    return kExitOk;
}

// The request as PXR_terminate makes it (wake the loader, give it 200 ms, remove the exit
// semaphore); then the close, whose signals go only to the processes of the table pinned and
// verified as the environment's. A system lock another process keeps held does not stop it.
int cmd_terminate(int argc, char **argv) {
    bool json;
    int code;
    if (!parse_query_options("terminate", argc, argv, false, json, kTerminateHelp, code))
        return code;
    if (!environment_running("terminate")) return kExitFailure;
    sembuf post{0, 1, 0};
    if (const int semid = semget(PXR_KEY_EXIT_SEM, 0, 0); semid >= 0) semop(semid, &post, 1);
    PLAT_delay(kTerminateGraceMs);
    if (const int semid = semget(PXR_KEY_EXIT_SEM, 0, 0); semid >= 0) semctl(semid, 0, IPC_RMID);
    {
        CommonView view;
        std::string why;
        if (view.map(why)) pin_table(view.get(), membership(0), "terminate").stop(kStopGraceMs);
    }
    PXR_close_without_signals();
    std::printf("pxr terminate: the environment was terminated\n");
    return kExitOk;
}

} // namespace pxrtool
