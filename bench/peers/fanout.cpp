// The fan-out loops, common to every transport: the publisher's rate under the credit window
// of the one-way rows, and the round trip to the slowest subscriber.
//
// Rate: the publisher keeps at most kWindow messages ahead of its slowest subscriber; each
// subscriber acknowledges every kAckEvery messages with the count it has read. The clock
// starts after the warm-up and stops when every subscriber has answered the stop message
// with a count equal to what was published: the rate counts messages that reached all.
// Round trip: the publisher fills and publishes one message; each subscriber reads every byte
// and answers with a small record; the round trip ends with the last answer.
#include "fanout.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace peers {

namespace {

FanTransport *g_fan;

// Where the CPU went: each side's CPU time and the publisher's wall time, in a page shared
// across the fork; busy_pct of the last run: the publisher's core and the subscribers' core.
struct Busy {
    double cpu_s[1 + kMaxSubscribers];
    double wall_s;
};
Busy *g_busy;
double g_busy_pct[2];

template <SideFn F>
void recorded(const Params &p, Result *r, int side) {
    const uint64_t t0 = now_ns();
    F(p, r, side);
    g_busy->cpu_s[side] = cpu_seconds();
    if (side == 0) g_busy->wall_s = double(now_ns() - t0) * 1e-9;
}

bool publish(const Params &p, uint32_t kind, uint32_t seq) {
    return g_fan->publish(p, FanMsg{kind, seq, 0, 0});
}

// The stop message and every subscriber's answer to it, which carries its count.
bool stop_all(const Params &p, Result *r, uint64_t published) {
    if (!publish(p, kStop, uint32_t(published))) {
        fail(r, "publisher: stop failed");
        return false;
    }
    std::vector<bool> stopped(size_t(g_fan->subscribers), false);
    for (int left = g_fan->subscribers; left > 0;) {
        FanMsg a{};
        if (!g_fan->next_answer(&a)) {
            fail(r, "publisher: answer to stop failed");
            return false;
        }
        if (a.kind != kStop || a.from >= stopped.size() || stopped[a.from]) continue;
        stopped[a.from] = true;
        --left;
        if (a.count != published) {
            fail(r, "subscriber %u read %u of %llu messages", a.from, a.count,
                 (unsigned long long)published);
            return false;
        }
    }
    return true;
}

void pub_rate(const Params &p, Result *r, int) {
    if (!g_fan->open(p, 0)) return fail(r, "publisher: open failed");
    const int n = g_fan->subscribers;
    std::vector<uint64_t> acked(size_t(n), 0);
    uint64_t sent = 0, base = 0, t0 = 0;
    const uint64_t first = now_ns(), end = first + uint64_t(p.secs * 1e9);
    auto slowest = [&] { return *std::min_element(acked.begin(), acked.end()); };
    for (;;) {
        if ((sent & 63) == 0 && now_ns() > end) break;
        while (sent - slowest() >= kWindow) {
            FanMsg a{};
            if (!g_fan->next_answer(&a)) return fail(r, "publisher: ack failed");
            if (a.kind == kAck && a.from < uint32_t(n)) acked[a.from] = a.count;
        }
        if (!publish(p, kData, uint32_t(sent))) return fail(r, "publisher: publish failed");
        ++sent;
        // Counting starts after the warm-up, or 0.2 s in for a transport too slow to reach it.
        if (t0 == 0 && (sent >= p.warm || ((sent & 63) == 0 && now_ns() - first > 200'000'000))) {
            t0 = now_ns();
            base = sent;
        }
    }
    if (!stop_all(p, r, sent)) return;
    const uint64_t t1 = now_ns();
    if (t0 == 0 || sent <= base)
        return fail(r, "too few messages (%llu)", (unsigned long long)sent);
    r->messages = sent - base;
    r->moved = sent;
    r->msgs_per_s = double(r->messages) * 1e9 / double(t1 - t0);
    g_fan->close();
    r->ok = 1;
}

// A subscriber checks that the data come in order and answers each of them (round trips) or
// every kAckEvery-th (rates), and the stop message with its count.
void subscriber(const Params &p, Result *r, int side, bool answer_each) {
    if (!g_fan->open(p, side)) return fail(r, "subscriber: open failed");
    const auto me = uint32_t(side - 1);
    uint32_t seen = 0;
    for (;;) {
        FanMsg h{};
        if (!g_fan->receive(p, &h)) return fail(r, "subscriber %u: receive failed", me);
        if (h.kind == kStop) {
            if (!g_fan->answer(FanMsg{kStop, h.seq, me, seen}))
                return fail(r, "subscriber %u: final answer failed", me);
            break;
        }
        if (h.kind != kData) continue;
        if (!answer_each && h.seq != seen)
            return fail(r, "subscriber %u: got %u, expected %u", me, h.seq, seen);
        ++seen;
        if (answer_each ? !g_fan->answer(FanMsg{kAnswer, h.seq, me, seen})
                        : seen % kAckEvery == 0 && !g_fan->answer(FanMsg{kAck, h.seq, me, seen}))
            return fail(r, "subscriber %u: answer failed", me);
    }
    g_fan->close();
    r->ok = 1;
}

void sub_rate(const Params &p, Result *r, int side) {
    subscriber(p, r, side, false);
}

void sub_answer(const Params &p, Result *r, int side) {
    subscriber(p, r, side, true);
}

void pub_round_trip(const Params &p, Result *r, int) {
    if (!g_fan->open(p, 0)) return fail(r, "publisher: open failed");
    std::vector<uint64_t> samples;
    samples.reserve(p.count);
    const uint64_t total = p.warm + p.count;
    for (uint64_t i = 0; i < total; ++i) {
        const uint64_t t0 = now_ns();
        if (!publish(p, kData, uint32_t(i))) return fail(r, "publisher: publish failed");
        for (int got = 0; got < g_fan->subscribers;) {
            FanMsg a{};
            if (!g_fan->next_answer(&a)) return fail(r, "publisher: answer failed");
            if (a.kind == kAnswer && a.seq == uint32_t(i)) ++got;
        }
        const uint64_t t1 = now_ns();
        if (i >= p.warm) samples.push_back(t1 - t0);
    }
    if (!stop_all(p, r, total)) return;
    g_fan->close();
    summarize(samples, r);
}

int usage() {
    fprintf(stderr, "usage: peerbench fanout measure --transport T --test lat|tput --payload N\n"
                    "                 --subscribers N [--count N] [--warm N] [--secs S]\n"
                    "                 [--cpus A,B] [--rep R] [--tune]\n"
                    "       peerbench fanout report RAW.csv BACKPRESSURE.csv OUTDIR\n"
                    "       peerbench fanout list\n");
    return 2;
}

const char *const kFanTransports[] = {"fan-ring", "fan-kernel", "fan-ring-per-member",
                                      "fan-iceoryx", "fan-zeromq"};

int measure(int argc, char **argv) {
    Params p;
    int rep = 1, subscribers = 1;
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) p.cpu_a = p.cpu_b = -1;
    for (int i = 0; i < argc; ++i) {
        const Option o = common_option(argc, argv, i, p, rep);
        if (o == Option::taken) continue;
        if (o == Option::bad) return usage();
        const std::string a = argv[i];
        auto val = [&]() -> const char * { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--transport")
            p.transport = val();
        else if (a == "--test")
            p.test = std::string(val()) == "tput" ? Test::Throughput : Test::Latency;
        else if (a == "--subscribers")
            subscribers = atoi(val());
        else
            return usage();
    }
    if (p.payload < sizeof(FanMsg) || subscribers < 1 || subscribers > kMaxSubscribers)
        return usage();
    Result r;
    const std::string &t = p.transport;
    if (t == "fan-ring")
        r = run_fanout_pxr(p, PxrFan::group_ring, subscribers);
    else if (t == "fan-kernel")
        r = run_fanout_pxr(p, PxrFan::group_kernel, subscribers);
    else if (t == "fan-ring-per-member")
        r = run_fanout_pxr(p, PxrFan::per_member_ring, subscribers);
    else if (t == "fan-iceoryx")
        r = run_fanout_iceoryx(p, subscribers);
    else if (t == "fan-zeromq")
        r = run_fanout_zmq(p, subscribers);
    else
        return usage();
    for (char *c = r.error; *c; ++c)
        if (*c == ',' || *c == '\n') *c = ';';
    printf("%s,%s,%u,%d,%d,%d,%.3f,%.3f,%.1f,%llu,%.4f,%.4f,%.1f,%.1f,%s\n", t.c_str(),
           p.test == Test::Latency ? "lat" : "tput", p.payload, subscribers, rep, r.ok, r.median_us,
           r.p99_us, r.msgs_per_s, (unsigned long long)r.messages,
           r.moved ? r.cpu_s * 1e6 / double(r.moved) : 0.0,
           r.moved ? double(r.waits) / double(r.moved) : 0.0, g_busy_pct[0], g_busy_pct[1],
           r.error);
    return r.ok ? 0 : 1;
}

} // namespace

Result run_fanout(const Params &p, FanTransport *t, int subscribers) {
    g_fan = t;
    t->subscribers = subscribers;
    const bool lat = p.test == Test::Latency;
    std::vector<SideFn> sides;
    sides.push_back(lat ? recorded<pub_round_trip> : recorded<pub_rate>);
    for (int k = 0; k < subscribers; ++k)
        sides.push_back(lat ? recorded<sub_answer> : recorded<sub_rate>);
    const double deadline =
        60 + (p.test == Test::Latency ? double(p.count + p.warm) * 1e-3 * subscribers : p.secs * 3);
    g_busy = static_cast<Busy *>(
        mmap(nullptr, sizeof(Busy), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (g_busy == MAP_FAILED) {
        Result r;
        fail(&r, "mmap failed");
        return r;
    }
    *g_busy = Busy{};
    const Result r = run_sides(p, sides, 0, deadline);
    double subs = 0;
    for (int k = 1; k <= subscribers; ++k) subs += g_busy->cpu_s[k];
    const double wall = g_busy->wall_s > 0 ? g_busy->wall_s : 1;
    g_busy_pct[0] = g_busy->cpu_s[0] * 100 / wall;
    g_busy_pct[1] = subs * 100 / wall;
    munmap(g_busy, sizeof(Busy));
    return r;
}

int fanout_main(int argc, char **argv) {
    if (argc < 1) return usage();
    const std::string cmd = argv[0];
    if (cmd == "measure") return measure(argc - 1, argv + 1);
    if (cmd == "report" && argc == 4) return fanout_report(argv[1], argv[2], argv[3]);
    if (cmd == "list") {
        for (const char *t : kFanTransports)
            if (std::string(t) != "fan-iceoryx" || have_iceoryx()) printf("%s\n", t);
        return 0;
    }
    return usage();
}

} // namespace peers
