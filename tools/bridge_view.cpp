// The bridge's counters as the pxr command shows them: `pxr bridge --stats`, a member of
// `pxr status --json`, a line of `pxr watch`. They are read from the bridge's own segment.
#include "config_bridge.h"
#include "bridge_stats.h"
#include "tool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/shm.h>

namespace pxrtool {

namespace {

using namespace pxrbridge;

// A copy of the counters of this IPC namespace's bridge; false when no bridge has run.
bool read_stats(Stats &out, bool &running) {
    const Segment seg = Segment::open(kStatsKey);
    const Stats *stats = seg.as<Stats>();
    if (stats == nullptr) return false;
    std::memcpy(&out, stats, sizeof out);
    if (out.magic != kStatsMagic) return false;
    running = pid_alive(out.pid);
    out.connected = out.connected && running;
    return true;
}

std::string json(const Stats &s, bool running) {
    char head[768];
    std::snprintf(head, sizeof head,
                  "{\"node\":\"%s\",\"node_id\":%u,\"cluster\":\"%s\",\"module\":%u,\"pid\":%d,"
                  "\"running\":%s,\"connected\":%s,\"ready\":%s,\"local_modules\":%u,"
                  "\"remote_modules\":%u,\"server\":\"%s\"",
                  s.node_name, s.node, s.cluster, s.module, s.pid, running ? "true" : "false",
                  s.connected ? "true" : "false", s.ready && running ? "true" : "false",
                  s.local_modules, s.remote_modules, s.connected ? s.server : "");
    std::string out = head;
    for (unsigned c = 0; c < kCounterCount; ++c)
        out += ",\"" + std::string(kCounterNames[c]) + "\":" + std::to_string(s.counters[c]);
    return out + "}";
}

} // namespace

int print_bridge_stats(bool as_json) {
    Stats s;
    bool running = false;
    if (!read_stats(s, running)) {
        std::fprintf(stderr, "pxr bridge: no bridge has run in this environment\n");
        return 1;
    }
    if (as_json) {
        std::printf("%s\n", json(s, running).c_str());
        return 0;
    }
    std::printf("bridge of module 0x%x, node %s (0x%08x), cluster %s, pid %d%s\n", s.module,
                s.node_name, s.node, s.cluster, s.pid, running ? "" : " (not running)");
    std::printf("  %-20s %s\n", "server", s.connected ? s.server : "(not connected)");
    if (s.last_error[0] != '\0') std::printf("  %-20s %s\n", "last error", s.last_error);
    std::printf("  %-20s %u local, %u remote\n", "modules", s.local_modules, s.remote_modules);
    std::printf("  %-20s %s\n", "routes", s.ready && running ? "learnt" : "being learnt");
    for (unsigned c = 0; c < kCounterCount; ++c)
        std::printf("  %-20s %llu\n", kCounterNames[c], (unsigned long long)s.counters[c]);
    return 0;
}

std::string bridge_status_json() {
    Stats s;
    bool running = false;
    return read_stats(s, running) ? ",\"bridge\":" + json(s, running) : "";
}

bool bridge_ready(int pid) {
    Stats s;
    bool running = false;
    return read_stats(s, running) && s.pid == pid && s.ready != 0;
}

bool bridge_took_over(int pid) {
    Stats s;
    bool running = false;
    return read_stats(s, running) && s.pid == pid && s.took_over != 0;
}

std::string bridge_metrics() {
    Stats s;
    bool running = false;
    if (!read_stats(s, running)) return "";
    std::string out = "# HELP pxr_bridge_connected 1 while the bridge is connected to a NATS "
                      "server, else 0.\n# TYPE pxr_bridge_connected gauge\npxr_bridge_connected " +
                      std::to_string(s.connected) +
                      "\n# HELP pxr_bridge_total The bridge's counters (see pxr bridge "
                      "--stats).\n# TYPE pxr_bridge_total counter\n";
    for (unsigned c = 0; c < kCounterCount; ++c)
        out += "pxr_bridge_total{counter=\"" + std::string(kCounterNames[c]) + "\"} " +
               std::to_string(s.counters[c]) + "\n";
    return out;
}

std::string bridge_watch_line() {
    Stats s;
    bool running = false;
    if (!read_stats(s, running)) return "";
    uint64_t lost = 0;
    // What the client dropped for a slow bridge is a part of the gaps (lost_in_transit).
    for (unsigned c = lost_no_connection; c <= lost_in_transit; ++c)
        lost += c == lost_slow_consumer ? 0 : s.counters[c];
    lost += s.counters[lost_bridge_killed];
    char line[256];
    std::snprintf(line, sizeof line,
                  "bridge %s %s: %u remote, out %llu, in %llu, lost %llu, malformed %llu, "
                  "reconnects %llu",
                  s.node_name,
                  !running      ? "not running"
                  : s.connected ? "connected"
                                : "no server",
                  s.remote_modules, (unsigned long long)s.counters[forwarded],
                  (unsigned long long)s.counters[delivered], (unsigned long long)lost,
                  (unsigned long long)s.counters[malformed],
                  (unsigned long long)s.counters[reconnects]);
    return line;
}

} // namespace pxrtool
