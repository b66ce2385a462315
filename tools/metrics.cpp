// pxr metrics: the environment's figures in the Prometheus text exposition format, printed
// once or served over HTTP. The figures are read from read-only mappings of the common area
// and the partitions and from the kernel's queue statistics: the command never attaches,
// takes no lock and changes nothing, so a scrape cannot disturb the environment, and an
// environment that ends or starts anew between two scrapes is simply seen as it is then.
#include "config_bridge.h"
#include "groups.h"
#include "rings.h"
#include "tool.h"

#include <httplib.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <vector>

namespace pxrtool {

namespace {

const char *kMetricsHelp =
    "usage: pxr metrics [--listen ADDR:PORT]\n"
    "Print the environment's figures in the Prometheus text format, or serve them over HTTP\n"
    "at http://ADDR:PORT/metrics until stopped (port 0 picks a free port and prints it).\n"
    "Nothing is attached or locked; without an environment only pxr_up 0 is given.\n";

struct PartitionFigures {
    int partition = 0;
    PartitionHeader h{};
    bool counts_allocations = false; // the lock-free form counts takes per buffer
    uint64_t allocations = 0;
};

struct QueueFigures {
    uint32_t module = 0;
    struct msqid_ds ds {}; // a ring's waiting records and last receiver, for a ring queue
    bool ring = false;
    RingFigures counts; // a ring's records in and out
};

struct Snapshot {
    bool up = false;
    CommonArea ca{};
    std::vector<PartitionFigures> partitions;
    std::vector<QueueFigures> queues;
    std::vector<GroupRow> groups;
    int64_t dropped_records = -1; // -1: the environment has no extension area
    double now = 0;
};

// Sum of the per-buffer take counters of a lock-free partition, bounded by the mapped array.
uint64_t allocations_of(const PartitionView &v) {
    uint64_t sum = 0;
    for (uint32_t i = 0; const SysMsg *s = v.slot(i); ++i)
        sum += __atomic_load_n(&s->getmem_count, __ATOMIC_RELAXED);
    return sum;
}

Snapshot take_snapshot() {
    Snapshot snap;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    snap.now = double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    CommonView view;
    std::string why;
    if (!view.map(why)) return snap;
    snap.up = true;
    std::memcpy(&snap.ca, view.get(), sizeof snap.ca);
    snap.dropped_records = dropped_records();
    snap.groups = group_rows();
    for (int p = 0; p < 2; ++p) {
        const PartitionView part(p);
        if (part.h() == nullptr) continue;
        PartitionFigures f;
        f.partition = p;
        std::memcpy(&f.h, part.h(), sizeof f.h);
        if ((snap.ca.atomic_mode & 1) != 0) {
            f.counts_allocations = true;
            f.allocations = allocations_of(part);
        }
        snap.partitions.push_back(f);
    }
    const RingsView rings;
    for (uint32_t m = 0; m < PXR_MODULE_COUNT; ++m) {
        const ModuleQueueEntry &e = snap.ca.module_queues[m];
        if (e.msqid == PXR_NO_QUEUE || (e.queue_flags & 1) == 0) continue;
        QueueFigures q;
        q.module = m;
        q.ring = rings.figures(m, e.msqid, q.counts);
        if (q.ring) {
            q.ds.msg_qnum = q.counts.waiting;
            q.ds.msg_lrpid = q.counts.last_receiver;
            snap.queues.push_back(q);
        } else if (msgctl(int(e.msqid), IPC_STAT, &q.ds) == 0) {
            snap.queues.push_back(q);
        }
    }
    return snap;
}

// Local-time timestamp as seconds since the epoch; 0 for one that was never written.
double epoch_of(const Timestamp &t) {
    if (t.year == 0) return 0;
    struct tm tm {};
    tm.tm_year = int(t.year) - 1900;
    tm.tm_mon = int(t.month) - 1;
    tm.tm_mday = int(t.day);
    tm.tm_hour = int(t.hour);
    tm.tm_min = int(t.minute);
    tm.tm_sec = int(t.second);
    tm.tm_isdst = -1;
    time_t s = mktime(&tm);
    return s == time_t(-1) ? 0 : double(s) + double(t.usec) / 1e6;
}

std::string label_value(const std::string &v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

class Exposition {
  public:
    void family(const char *name, const char *type, const char *help) {
        text_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const char *name, const std::string &labels, double value) {
        char num[40];
        std::snprintf(num, sizeof num, "%.17g", value);
        text_ += name;
        if (!labels.empty()) text_ += "{" + labels + "}";
        text_ += " ";
        text_ += num;
        text_ += "\n";
    }
    const std::string &text() const { return text_; }

  private:
    std::string text_;
};

struct PartitionFamily {
    const char *name, *type, *help;
    double (*value)(const PartitionFigures &);
};

constexpr PartitionFamily kPartitionFamilies[] = {
    {"pxr_partition_buffers", "gauge", "Buffers in the partition.",
     [](const PartitionFigures &f) { return double(f.h.num_msgs); }},
    {"pxr_partition_buffers_free", "gauge", "Buffers not allocated (buffers minus allocated).",
     [](const PartitionFigures &f) { return double(f.h.num_msgs) - double(f.h.alloc_count); }},
    {"pxr_partition_buffers_allocated", "gauge", "Buffers allocated now.",
     [](const PartitionFigures &f) { return double(f.h.alloc_count); }},
    {"pxr_partition_buffers_allocated_max", "gauge",
     "High-water mark of allocated buffers since the partition was created.",
     [](const PartitionFigures &f) { return double(f.h.max_alloc); }},
    {"pxr_partition_buffers_allocated_max_since_reset", "gauge",
     "High-water mark of allocated buffers since the last statistics reset.",
     [](const PartitionFigures &f) { return double(f.h.max_alloc_reset); }},
    {"pxr_partition_parameter_size_bytes", "gauge", "Parameter bytes each buffer carries.",
     [](const PartitionFigures &f) { return double(f.h.param_size); }},
    {"pxr_partition_congested", "gauge", "1 while the partition is congested, else 0.",
     [](const PartitionFigures &f) { return f.h.cong_status != 0 ? 1.0 : 0.0; }},
    {"pxr_partition_congestion_onset_buffers", "gauge",
     "Allocated buffers at which congestion starts (0: no congestion levels).",
     [](const PartitionFigures &f) { return double(f.h.cong_onset); }},
    {"pxr_partition_congestion_abate_buffers", "gauge",
     "Allocated buffers at which congestion ends.",
     [](const PartitionFigures &f) { return double(f.h.cong_abate); }},
    {"pxr_partition_congestion_onsets_total", "counter", "Congestion onsets.",
     [](const PartitionFigures &f) { return double(f.h.cong_count); }},
    {"pxr_partition_allocations_refused_total", "counter",
     "Allocations refused because no buffer was free.",
     [](const PartitionFigures &f) { return double(f.h.out_of_msg); }},
};

std::string partition_label(const PartitionFigures &f) {
    return "partition=\"" + std::to_string(f.partition) + "\"";
}

std::string module_label(uint32_t module) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "module=\"0x%x\"", module);
    return buf;
}

void environment_figures(Exposition &x, const Snapshot &s) {
    x.family("pxr_up", "gauge", "1 when an environment exists, else 0.");
    x.sample("pxr_up", "", s.up ? 1 : 0);
    if (!s.up) return;
    const CommonArea &ca = s.ca;
    x.family("pxr_environment_running", "gauge", "1 while the environment admits attachers.");
    x.sample("pxr_environment_running", "", (ca.flags & CA_RUNNING) != 0 ? 1 : 0);
    x.family("pxr_environment_atomic", "gauge", "1 for lock-free buffer pools, 0 for locked.");
    x.sample("pxr_environment_atomic", "", (ca.atomic_mode & 1) != 0 ? 1 : 0);
    x.family("pxr_internal_errors_total", "counter", "Sends that failed for good.");
    x.sample("pxr_internal_errors_total", "", ca.internal_errors);
    if (s.dropped_records >= 0) {
        x.family("pxr_dropped_records_total", "counter",
                 "Queue records that receives dropped because they named no buffer.");
        x.sample("pxr_dropped_records_total", "", double(s.dropped_records));
    }
    x.family("pxr_fatal_event_code", "gauge",
             "Code of the fatal event recorded (2: buffers ran out), 0 when none.");
    x.sample("pxr_fatal_event_code", "", ca.fatal_code);
    double start = epoch_of(ca.restart_time);
    x.family("pxr_start_time_seconds", "gauge", "When the environment was created (Unix time).");
    x.sample("pxr_start_time_seconds", "", start);
    x.family("pxr_uptime_seconds", "gauge", "Seconds since the environment was created.");
    x.sample("pxr_uptime_seconds", "", start > 0 && s.now > start ? s.now - start : 0);
}

void partition_figures(Exposition &x, const Snapshot &s) {
    for (const PartitionFamily &fam : kPartitionFamilies) {
        x.family(fam.name, fam.type, fam.help);
        for (const PartitionFigures &f : s.partitions)
            x.sample(fam.name, partition_label(f), fam.value(f));
    }
    if ((s.ca.atomic_mode & 1) == 0) return;
    x.family("pxr_partition_allocations_total", "counter",
             "Buffers allocated since creation (lock-free pools only).");
    for (const PartitionFigures &f : s.partitions)
        x.sample("pxr_partition_allocations_total", partition_label(f), double(f.allocations));
}

void queue_figures(Exposition &x, const Snapshot &s) {
    x.family("pxr_queue_messages_pending", "gauge", "Messages waiting in the module's queue.");
    for (const QueueFigures &q : s.queues)
        x.sample("pxr_queue_messages_pending", module_label(q.module), double(q.ds.msg_qnum));
    // A ring counts what goes through it, which a kernel queue cannot tell: rates follow.
    x.family("pxr_queue_messages_in_total", "counter",
             "Messages put into the module's ring queue since it was made.");
    for (const QueueFigures &q : s.queues)
        if (q.ring)
            x.sample("pxr_queue_messages_in_total", module_label(q.module), double(q.counts.put));
    x.family("pxr_queue_messages_out_total", "counter",
             "Messages taken from the module's ring queue since it was made.");
    for (const QueueFigures &q : s.queues)
        if (q.ring)
            x.sample("pxr_queue_messages_out_total", module_label(q.module),
                     double(q.counts.taken));
    x.family("pxr_queue_last_receiver_pid", "gauge",
             "Process that last received from the queue (0: none yet).");
    for (const QueueFigures &q : s.queues)
        x.sample("pxr_queue_last_receiver_pid", module_label(q.module), q.ds.msg_lrpid);
    x.family("pxr_queue_last_send_time_seconds", "gauge",
             "When a message was last put into the queue (Unix time, 0: never).");
    for (const QueueFigures &q : s.queues)
        x.sample("pxr_queue_last_send_time_seconds", module_label(q.module),
                 double(q.ds.msg_stime));
    x.family("pxr_queue_last_receive_time_seconds", "gauge",
             "When a message was last taken from the queue (Unix time, 0: never).");
    for (const QueueFigures &q : s.queues)
        x.sample("pxr_queue_last_receive_time_seconds", module_label(q.module),
                 double(q.ds.msg_rtime));
    if (s.groups.empty()) return;
    x.family("pxr_group_sends_total", "counter", "Sends to the group that reached a member.");
    for (const GroupRow &g : s.groups)
        x.sample("pxr_group_sends_total", module_label(g.module), double(g.sends));
    x.family("pxr_group_shares_dropped_total", "counter",
             "Shares a member missed because its queue was full.");
    for (const GroupRow &g : s.groups)
        for (std::size_t k = 0; k < g.members.size(); ++k) {
            char label[48];
            std::snprintf(label, sizeof label, "module=\"0x%x\",member=\"0x%x\"", g.module,
                          unsigned(g.members[k]));
            x.sample("pxr_group_shares_dropped_total", label, double(g.dropped[k]));
        }
}

void process_figures(Exposition &x, const Snapshot &s) {
    int32_t count = s.ca.process_count;
    if (count < 0) count = 0;
    if (count > PXR_MAX_PROCESSES) count = PXR_MAX_PROCESSES;
    x.family("pxr_processes", "gauge", "Processes recorded in the process table.");
    x.sample("pxr_processes", "", count);
    x.family("pxr_process_alive", "gauge", "1 while a recorded process runs, else 0.");
    for (int32_t i = 0; i < count; ++i) {
        const ProcessEntry &e = s.ca.processes[i];
        std::string name(e.name, strnlen(e.name, sizeof e.name));
        std::string labels =
            "pid=\"" + std::to_string(e.pid) + "\",name=\"" + label_value(name) + "\"";
        x.sample("pxr_process_alive", labels,
                 std::strcmp(process_state(e.pid), "running") == 0 ? 1 : 0);
    }
}

bool parse_listen(const std::string &arg, std::string &host, int &port) {
    std::size_t colon = arg.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = arg.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    char *end = nullptr;
    std::string digits = arg.substr(colon + 1);
    long v = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || v < 0 || v > 65535) return false;
    port = int(v);
    return true;
}

constexpr const char *kContentType = "text/plain; version=0.0.4; charset=utf-8";

int serve(const std::string &host, int port) {
    std::signal(SIGPIPE, SIG_IGN);
    httplib::Server server;
    // Scrapes are short and rare: two threads are plenty and keep the exporter small.
    server.new_task_queue = [] { return new httplib::ThreadPool(2); };
    server.Get("/metrics", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(metrics_text(), kContentType);
    });
    server.Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("<html><body><a href=\"/metrics\">pxr metrics</a></body></html>\n",
                        "text/html");
    });
    int bound = port;
    if (port == 0)
        bound = server.bind_to_any_port(host);
    else if (!server.bind_to_port(host, port))
        bound = -1;
    if (bound < 0) {
        std::fprintf(stderr, "pxr metrics: cannot listen on %s:%d: %s\n", host.c_str(), port,
                     std::strerror(errno));
        return kExitFailure;
    }
    std::printf("pxr metrics: serving http://%s:%d/metrics\n", host.c_str(), bound);
    std::fflush(stdout);
    return server.listen_after_bind() ? kExitOk : kExitFailure;
}

} // namespace

std::string metrics_text() {
    Snapshot s = take_snapshot();
    Exposition x;
    environment_figures(x, s);
    if (s.up) {
        partition_figures(x, s);
        queue_figures(x, s);
        process_figures(x, s);
    }
    return x.text() + (s.up ? bridge_metrics() : "");
}

int cmd_metrics(int argc, char **argv) {
    const char *listen = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (is_help(argv[i])) {
            std::fputs(kMetricsHelp, stdout);
            return kExitOk;
        }
        if (std::strcmp(argv[i], "--listen") == 0 && i + 1 < argc && listen == nullptr) {
            listen = argv[++i];
            continue;
        }
        std::fprintf(stderr, "pxr metrics: unexpected argument '%s'\n%s", argv[i], kMetricsHelp);
        return kExitUsage;
    }
    if (listen != nullptr) {
        std::string host;
        int port = 0;
        if (!parse_listen(listen, host, port)) {
            std::fprintf(stderr,
                         "pxr metrics: bad --listen '%s' (ADDR:PORT, e.g. 127.0.0.1:9150)\n",
                         listen);
            return kExitUsage;
        }
        return serve(host, port);
    }
    std::string text = metrics_text();
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    if (text.find("\npxr_up 1\n") == std::string::npos) {
        std::fprintf(stderr, "pxr metrics: %s\n", kNoEnvironment);
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace pxrtool
