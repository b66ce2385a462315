// pxr watch: what moves in a running environment, refreshed in place. Each round takes a
// sample (partition figures, queue statistics, process table, take counters) and prints it
// beside the previous one, so that rates are differences over the time between the two.
#include "groups.h"
#include "config_bridge.h"
#include "supervise.h"
#include "tool.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace pxrtool {

namespace {

const char *kWatchHelp =
    "usage: pxr watch [SECONDS] [--interval SECONDS] [--count N]\n"
    "Show partitions, module queues and recorded processes every SECONDS (default 1, at\n"
    "least 0.1) until interrupted, or N times: buffers, congestion, allocations per second;\n"
    "pending records per queue, their change per second, the last receiver and, for ring\n"
    "queues, records in and out per second (kernel queues: how long ago the last put and\n"
    "take); whether each process runs and, in atomic environments, how many buffers it\n"
    "takes per second; each group's sends and the shares each member missed.\n"
    "Locked pools keep no allocation counter and show \"-\" for the rates of allocations.\n"
    "On a terminal, q quits.\n";

struct WatchOptions {
    double interval = 1.0;
    long count = -1; // rounds; -1 until interrupted
};

// Parses the command line; false when the command ends here (help or usage error).
bool parse_watch_options(int argc, char **argv, WatchOptions &opt, int &exit_code) {
    bool have_interval = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (is_help(arg)) {
            std::fputs(kWatchHelp, stdout);
            exit_code = kExitOk;
            return false;
        }
        char *end = nullptr;
        if (std::strcmp(arg, "--count") == 0 && i + 1 < argc) {
            opt.count = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || opt.count <= 0) {
                std::fprintf(stderr, "pxr watch: bad --count '%s'\n", argv[i]);
                exit_code = kExitUsage;
                return false;
            }
            continue;
        }
        bool flag = std::strcmp(arg, "--interval") == 0 && i + 1 < argc;
        if (!have_interval && (flag || arg[0] != '-')) {
            const char *text = flag ? argv[++i] : arg;
            opt.interval = std::strtod(text, &end);
            if (*end != '\0' || !(opt.interval >= 0.1 && opt.interval <= 3600)) {
                std::fprintf(stderr, "pxr watch: bad interval '%s' (0.1..3600 seconds)\n", text);
                exit_code = kExitUsage;
                return false;
            }
            have_interval = true;
            continue;
        }
        std::fprintf(stderr, "pxr watch: unexpected argument '%s'\n%s", arg, kWatchHelp);
        exit_code = kExitUsage;
        return false;
    }
    return true;
}

struct ProcessRow {
    int32_t pid = 0;
    std::string name;
    std::string state = "gone";
};

struct WatchSample {
    double time = 0; // monotonic seconds
    PartitionHeader partitions[2]{};
    bool present[2] = {false, false};
    // Lock-free form: each slot's take counter and the process that took it last.
    std::vector<uint32_t> takes[2];
    std::vector<int32_t> takers[2];
    std::vector<QueueRow> queues;
    std::vector<GroupRow> groups;
    std::vector<ProcessRow> processes;
};

double monotonic_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Reads the take counters of a lock-free partition and who took each slot last.
void sample_takes(int p, WatchSample &s) {
    const PartitionHeader *h = partition_hdr[p];
    if (h == nullptr || partition_msgarray[p] == nullptr || h->num_msgs <= 0) return;
    s.takes[p].resize(std::size_t(h->num_msgs));
    s.takers[p].resize(std::size_t(h->num_msgs));
    for (int32_t i = 0; i < h->num_msgs; ++i) {
        const SysMsg *slot = index_to_partition_sysmsg(p, uint32_t(i));
        s.takes[p][std::size_t(i)] = __atomic_load_n(&slot->getmem_count, __ATOMIC_RELAXED);
        s.takers[p][std::size_t(i)] = slot->getmem_pid;
    }
}

// Allocations between two samples: per partition, and per process, each slot's new takes
// credited to the process that took it last (exact while a buffer keeps its taker).
struct TakeCounts {
    uint64_t partition[2] = {0, 0};
    std::map<int32_t, uint64_t> by_pid;
};

TakeCounts takes_between(const WatchSample &prev, const WatchSample &cur) {
    TakeCounts counts;
    for (int p = 0; p < 2; ++p) {
        std::size_t n = std::min(prev.takes[p].size(), cur.takes[p].size());
        for (std::size_t i = 0; i < n; ++i) {
            uint32_t delta = cur.takes[p][i] - prev.takes[p][i]; // the counters wrap
            if (delta == 0) continue;
            counts.partition[p] += delta;
            counts.by_pid[cur.takers[p][i]] += delta;
        }
    }
    return counts;
}

WatchSample take_sample(const CommonArea &ca, bool atomic) {
    WatchSample s;
    s.time = monotonic_seconds();
    for (int p = 0; p < 2; ++p) {
        if (partition_hdr[p] == nullptr) continue;
        s.present[p] = true;
        std::memcpy(&s.partitions[p], partition_hdr[p], sizeof(PartitionHeader));
        if (atomic) sample_takes(p, s);
    }
    s.queues = queue_rows(ca);
    s.groups = group_rows();
    int32_t count = std::clamp<int32_t>(ca.process_count, 0, PXR_MAX_PROCESSES);
    const ProcessStories stories = read_stories();
    for (int32_t i = 0; i < count; ++i) {
        const ProcessEntry &e = ca.processes[i];
        s.processes.push_back(
            {e.pid, std::string(e.name, strnlen(e.name, sizeof e.name)), stories.state(e.pid)});
    }
    return s;
}

// Columns of the terminal, at least 80; 80 when the output is not a terminal.
int screen_width() {
    struct winsize ws {};
    if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 80)
        return ws.ws_col;
    return 80;
}

// A per-second rate as text: "-" without an earlier sample to compare with.
std::string rate_text(double delta, double elapsed, bool known) {
    if (!known || elapsed <= 0) return "-";
    char buf[32];
    double r = delta / elapsed;
    if (std::fabs(r) >= 1e6)
        std::snprintf(buf, sizeof buf, "%.1fM", r / 1e6);
    else if (std::fabs(r) >= 1e4)
        std::snprintf(buf, sizeof buf, "%.1fk", r / 1e3);
    else
        std::snprintf(buf, sizeof buf, "%.0f", r);
    return buf;
}

// Seconds since a Unix time as text: "never" for 0.
std::string age_text(int64_t when) {
    if (when == 0) return "never";
    long age = long(std::time(nullptr) - when);
    char buf[32];
    if (age < 120)
        std::snprintf(buf, sizeof buf, "%lds", std::max(age, 0L));
    else if (age < 7200)
        std::snprintf(buf, sizeof buf, "%ldm", age / 60);
    else
        std::snprintf(buf, sizeof buf, "%ldh", age / 3600);
    return buf;
}

void print_title(const CommonArea &ca, const WatchOptions &opt, bool atomic) {
    Timestamp ts{};
    PLAT_timestamp(&ts);
    std::printf("pxr watch %02u:%02u:%02u  every %gs  %s pools  errors %u  fatal %u\n", ts.hour,
                ts.minute, ts.second, opt.interval, atomic ? "atomic" : "locked",
                ca.internal_errors, ca.fatal_code);
}

// takes: the allocations since the previous sample; null without one, or in the locked form.
void print_partitions(const WatchSample &cur, const TakeCounts *takes, double elapsed) {
    std::printf("\n%-4s %7s %6s %9s %7s %7s %7s %9s %6s %9s\n", "PART", "BUFFERS", "SIZE",
                "ALLOCATED", "FREE", "MAX", "REFUSED", "CONGESTED", "ONSETS", "ALLOCS/S");
    for (int p = 0; p < 2; ++p) {
        if (!cur.present[p]) continue;
        const PartitionHeader &h = cur.partitions[p];
        std::string rate =
            rate_text(takes ? double(takes->partition[p]) : 0, elapsed, takes != nullptr);
        std::printf("%-4d %7d %6u %9u %7d %7u %7u %9s %6u %9s\n", p, h.num_msgs, h.param_size,
                    h.alloc_count, h.num_msgs - int32_t(h.alloc_count), h.max_alloc, h.out_of_msg,
                    h.cong_status ? "YES" : "no", h.cong_count, rate.c_str());
    }
}

// head and the items after it, wrapped to the screen width.
void print_wrapped(std::string line, const std::vector<std::string> &items, int width) {
    for (const std::string &item : items) {
        if (line.size() + item.size() > std::size_t(width)) {
            std::printf("%s\n", line.c_str());
            line = "        ";
        }
        line += item;
    }
    std::printf("%s\n", line.c_str());
}

// Aliases take no column: they are listed after the queues, wrapped to the screen width.
void print_aliases(const std::vector<QueueRow> &queues, int width) {
    std::vector<std::string> items;
    for (const QueueRow &q : queues) {
        if (q.own) continue;
        char item[32];
        if (q.target >= 0)
            std::snprintf(item, sizeof item, " 0x%x>0x%x", q.module, unsigned(q.target));
        else
            std::snprintf(item, sizeof item, " 0x%x>none", q.module);
        items.emplace_back(item);
    }
    if (!items.empty()) print_wrapped("aliases:", items, width);
}

// Groups take no column either: each with its sends and, per member, the shares it missed.
void print_groups(const std::vector<GroupRow> &groups, int width) {
    for (const GroupRow &g : groups) {
        char head[64];
        std::snprintf(head, sizeof head, "group 0x%x: %u sends; missed:", g.module, g.sends);
        std::vector<std::string> items;
        for (std::size_t k = 0; k < g.members.size(); ++k) {
            char item[32];
            std::snprintf(item, sizeof item, " 0x%x=%u", unsigned(g.members[k]), g.dropped[k]);
            items.emplace_back(item);
        }
        print_wrapped(head, items, width);
    }
}

// Own queues: depth, its change per second, last receiver; a ring's records in and out per
// second (it counts them), a kernel queue's age of the last put and take (the kernel keeps
// times, not counts).
void print_queues(const WatchSample &cur, const WatchSample *prev, int width) {
    std::printf("\n%-8s %7s %9s %8s %8s %13s %9s %9s\n", "MODULE", "PENDING", "CHANGE/S", "IN/S",
                "OUT/S", "LAST-RECEIVER", "LAST-PUT", "LAST-TAKE");
    double elapsed = prev != nullptr ? cur.time - prev->time : 0;
    for (const QueueRow &q : cur.queues) {
        if (!q.own) continue;
        const QueueRow *before = nullptr;
        if (prev != nullptr)
            for (const QueueRow &b : prev->queues)
                if (b.module == q.module && b.own) before = &b;
        std::string change = rate_text(double(q.pending) - double(before ? before->pending : 0),
                                       elapsed, before != nullptr);
        // A ring made anew between the samples (another queue id) starts its counts again.
        const bool counted = q.ring && before != nullptr && before->ring &&
                             before->msqid == q.msqid && q.put >= before->put &&
                             q.taken >= before->taken;
        std::string in = rate_text(counted ? double(q.put - before->put) : 0, elapsed, counted);
        std::string out =
            rate_text(counted ? double(q.taken - before->taken) : 0, elapsed, counted);
        std::printf("0x%-6x %7d %9s %8s %8s %13d %9s %9s\n", q.module, q.pending, change.c_str(),
                    in.c_str(), out.c_str(), q.last_receiver,
                    q.ring ? "-" : age_text(q.last_send).c_str(),
                    q.ring ? "-" : age_text(q.last_receive).c_str());
    }
    print_aliases(cur.queues, width);
    print_groups(cur.groups, width);
}

void print_processes(const WatchSample &cur, const TakeCounts *takes, double elapsed, int width) {
    if (cur.processes.empty()) return;
    // STATE holds the longest state, "not-started", as in pxr procs.
    std::printf("\n%-8s %-11s %10s  %s\n", "PID", "STATE", "ALLOCS/S", "NAME");
    const int name_width = width - 33;
    for (const ProcessRow &r : cur.processes) {
        std::string rate = "-";
        if (takes != nullptr) {
            auto it = takes->by_pid.find(r.pid);
            rate = rate_text(it == takes->by_pid.end() ? 0 : double(it->second), elapsed, true);
        }
        std::printf("%-8d %-11s %10s  %.*s\n", r.pid, r.state.c_str(), rate.c_str(), name_width,
                    r.name.c_str());
    }
}

volatile sig_atomic_t g_stop = 0;

void on_stop(int) {
    g_stop = 1;
}

// The keyboard of a watch on a terminal: q quits. Standard input reads keys without echo while
// the watch runs, and gets its settings back when it ends, also on SIGINT and SIGTERM (which
// therefore end the watch instead of the process).
class Keyboard {
  public:
    Keyboard() {
        if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios keys = saved_;
        keys.c_lflag &= ~tcflag_t(ICANON | ECHO);
        keys.c_cc[VMIN] = 0;
        keys.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) != 0) return;
        active_ = true;
        struct sigaction sa {};
        sa.sa_handler = on_stop; // no SA_RESTART: the wait below returns at once
        sigaction(SIGINT, &sa, &old_int_);
        sigaction(SIGTERM, &sa, &old_term_);
    }
    ~Keyboard() {
        if (!active_) return;
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    Keyboard(const Keyboard &) = delete;
    Keyboard &operator=(const Keyboard &) = delete;

    // Waits the given time; false when the watch is to end (q pressed, or a signal).
    bool wait(double seconds) {
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        const double end = double(until.tv_sec) + double(until.tv_nsec) / 1e9 + seconds;
        for (;;) {
            if (g_stop != 0) return false;
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const double left = end - (double(now.tv_sec) + double(now.tv_nsec) / 1e9);
            if (left <= 0) return true;
            if (!active_) {
                struct timespec pause = {time_t(left), long((left - double(time_t(left))) * 1e9)};
                nanosleep(&pause, nullptr);
                continue;
            }
            struct pollfd in = {STDIN_FILENO, POLLIN, 0};
            if (poll(&in, 1, int(left * 1000) + 1) > 0) {
                char key = 0;
                if (read(STDIN_FILENO, &key, 1) == 1 && (key == 'q' || key == 'Q')) return false;
            }
        }
    }

  private:
    termios saved_{};
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
    bool active_ = false;
};

} // namespace

int cmd_watch(int argc, char **argv) {
    WatchOptions opt;
    int code = kExitOk;
    if (!parse_watch_options(argc, argv, opt, code)) return code;
    if (!attach_running("watch")) return kExitFailure;
    CommonView view;
    if (!view.map_for("watch")) {
        PXR_unlink();
        return kExitFailure;
    }
    const bool atomic = (view->atomic_mode & 1) != 0;
    const bool tty = isatty(STDOUT_FILENO) != 0;
    Keyboard keyboard;
    // The first frame shows rates too: over a short span before it (a quarter second, or the
    // interval when that is shorter), so that `--count 1` is a useful snapshot.
    WatchSample prev = take_sample(*view.get(), atomic);
    for (long round = 0; opt.count < 0 || round < opt.count; ++round) {
        if (!keyboard.wait(round > 0 ? opt.interval : std::min(opt.interval, 0.25))) break;
        if ((view->flags & CA_CLOSING) != 0) {
            std::printf("pxr watch: the environment has ended\n");
            break;
        }
        WatchSample cur = take_sample(*view.get(), atomic);
        const WatchSample *before = &prev;
        const double elapsed = cur.time - before->time;
        TakeCounts counts;
        if (atomic) counts = takes_between(*before, cur);
        const TakeCounts *takes = atomic ? &counts : nullptr;
        const int width = screen_width();
        if (tty) std::printf("\033[H\033[2J");
        print_title(*view.get(), opt, atomic);
        print_partitions(cur, takes, elapsed);
        print_queues(cur, before, width);
        print_processes(cur, takes, elapsed, width);
        if (std::string bridge = bridge_watch_line(); !bridge.empty())
            std::printf("\n%.*s\n", width, bridge.c_str());
        std::fflush(stdout);
        prev = std::move(cur);
    }
    PXR_unlink();
    return kExitOk;
}

} // namespace pxrtool
