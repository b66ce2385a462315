// Process harness, timing and the generic loops of the copying transports.
#include "common.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <string_view>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace peers {

volatile uint64_t g_sink;

uint64_t now_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void pin_to(int cpu) noexcept {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

uint64_t voluntary_switches() noexcept {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return uint64_t(u.ru_nvcsw);
}

double cpu_seconds() noexcept {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

void fail(Result *r, const char *fmt, ...) noexcept {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(r->error, sizeof r->error, fmt, ap);
    va_end(ap);
    r->ok = 0;
}

Option common_option(int argc, char **argv, int &i, Params &p, int &rep) noexcept {
    const std::string_view a = argv[i];
    auto val = [&]() -> const char * { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--payload")
        p.payload = uint32_t(atol(val()));
    else if (a == "--count")
        p.count = uint64_t(atoll(val()));
    else if (a == "--warm")
        p.warm = uint64_t(atoll(val()));
    else if (a == "--secs")
        p.secs = atof(val());
    else if (a == "--rep")
        rep = atoi(val());
    else if (a == "--tune")
        p.tune = true;
    else if (a == "--cpus")
        return sscanf(val(), "%d,%d", &p.cpu_a, &p.cpu_b) == 2 ? Option::taken : Option::bad;
    else
        return Option::other;
    return Option::taken;
}

uint64_t consume(const uint8_t *p, size_t n) noexcept {
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        sum += w;
    }
    for (; i < n; ++i) sum += p[i];
    g_sink = g_sink + sum;
    return sum;
}

void summarize(std::vector<uint64_t> &s, Result *r) noexcept {
    if (s.empty()) return fail(r, "no samples");
    std::sort(s.begin(), s.end());
    double total = 0;
    for (uint64_t v : s) total += double(v);
    r->median_us = double(s[s.size() / 2]) / 1000.0;
    r->p99_us = double(s[std::min(s.size() - 1, s.size() * 99 / 100)]) / 1000.0;
    r->mean_us = total / double(s.size()) / 1000.0;
    r->messages = s.size();
    r->ok = 1;
}

void RateMeter::finish(Result *r) noexcept {
    uint64_t t1 = now_ns();
    if (t0 == 0 || seen <= base || t1 <= t0)
        return fail(r, "too few messages (%llu)", (unsigned long long)seen);
    r->messages = seen - base;
    r->moved = seen;
    r->msgs_per_s = double(r->messages) * 1e9 / double(t1 - t0);
    r->ok = 1;
}

Result run_sides(const Params &p, const std::vector<SideFn> &sides, int measurer,
                 double deadline_s) {
    const size_t n = sides.size();
    auto *res = static_cast<Result *>(mmap(nullptr, sizeof(Result) * n, PROT_READ | PROT_WRITE,
                                           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    Result out;
    if (res == MAP_FAILED) {
        fail(&out, "mmap results failed");
        return out;
    }
    for (size_t i = 0; i < n; ++i) new (&res[i]) Result();
    fflush(nullptr);
    std::vector<pid_t> pids;
    for (size_t i = 0; i < n; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            pin_to(i == 0 ? p.cpu_b : p.cpu_a);
            sides[i](p, &res[i], int(i));
            res[i].cpu_s = cpu_seconds();
            res[i].waits = voluntary_switches();
            fflush(nullptr);
            _exit(0);
        }
        if (pid < 0) {
            fail(&out, "fork failed");
            break;
        }
        pids.push_back(pid);
    }
    // Wait without polling; the alarm bounds the wait so that a wedged transport costs one
    // row, not the whole run. A side that fails ends the others at once.
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, nullptr);
    alarm(unsigned(deadline_s) + 1);
    size_t alive = pids.size();
    bool timed_out = false, failed = false;
    auto kill_rest = [&] {
        for (pid_t q : pids)
            if (q > 0) kill(q, SIGKILL);
    };
    while (alive > 0) {
        int status;
        pid_t w = waitpid(-1, &status, 0);
        if (w > 0) {
            for (size_t i = 0; i < pids.size(); ++i)
                if (pids[i] == w) {
                    pids[i] = 0;
                    --alive;
                    if (!res[i].ok && !failed) {
                        failed = true;
                        kill_rest();
                    }
                }
            continue;
        }
        if (errno == ECHILD) break;
        if (errno == EINTR && !timed_out) {
            timed_out = true;
            kill_rest();
        }
    }
    alarm(0);
    if (out.error[0] == 0) {
        out = res[measurer];
        if (timed_out && !failed)
            fail(&out, "timed out after %.0f s", deadline_s);
        else if (!out.ok) {
            for (size_t i = 0; i < n && out.error[0] == 0; ++i)
                if (res[i].error[0]) std::memcpy(out.error, res[i].error, sizeof out.error);
            if (out.error[0] == 0) fail(&out, "side failed without a message");
        }
        for (size_t i = 0; i < n; ++i)
            if (i != size_t(measurer) && res[i].error[0] && out.ok) {
                out.ok = 0;
                std::memcpy(out.error, res[i].error, sizeof out.error);
            }
    }
    out.cpu_s = 0;
    out.waits = 0;
    for (size_t i = 0; i < n; ++i) out.cpu_s += res[i].cpu_s, out.waits += res[i].waits;
    if (p.test == Test::Latency) out.moved = 2 * (p.warm + p.count);
    munmap(res, sizeof(Result) * n);
    return out;
}

// ---- Generic loops over a Channel (copying transports) ----

namespace {

Channel *g_ch;

// Echo side of the round trip: receive, read every byte, send the same bytes back.
void chan_echo(const Params &p, Result *r, int) {
    if (!g_ch->open_side(0)) return fail(r, "echo: open failed");
    Buf buf(p.payload);
    for (;;) {
        long n = g_ch->recv(0, buf.data(), buf.size());
        if (n < long(sizeof(Hdr))) return fail(r, "echo: recv failed (%ld, errno %d)", n, errno);
        Hdr h;
        std::memcpy(&h, buf.data(), sizeof h);
        if (h.kind == kStop) break;
        consume(buf.data(), size_t(n));
        if (!g_ch->send(1, buf.data(), size_t(n)))
            return fail(r, "echo: send failed (errno %d)", errno);
    }
    g_ch->close_side();
    r->ok = 1;
}

void chan_ping(const Params &p, Result *r, int) {
    if (!g_ch->open_side(1)) return fail(r, "ping: open failed");
    Buf buf(p.payload), back(p.payload);
    std::vector<uint64_t> samples;
    samples.reserve(p.count);
    const uint64_t total = p.warm + p.count;
    for (uint64_t i = 0; i < total; ++i) {
        uint64_t t0 = now_ns();
        fill(buf.data(), p.payload, uint32_t(i));
        Hdr h{kData, uint32_t(i)};
        std::memcpy(buf.data(), &h, sizeof h);
        if (!g_ch->send(0, buf.data(), p.payload))
            return fail(r, "ping: send failed (errno %d)", errno);
        long n = g_ch->recv(1, back.data(), back.size());
        if (n != long(p.payload)) return fail(r, "ping: recv returned %ld (errno %d)", n, errno);
        consume(back.data(), size_t(n));
        if (back[p.payload - 1] != uint8_t(i)) return fail(r, "ping: payload mismatch");
        uint64_t t1 = now_ns();
        if (i >= p.warm) samples.push_back(t1 - t0);
    }
    Hdr stop{kStop, 0};
    std::memcpy(buf.data(), &stop, sizeof stop);
    g_ch->send(0, buf.data(), p.payload);
    g_ch->close_side();
    summarize(samples, r);
}

// Consumer of the one-way run: reads every byte, acknowledges every kAckEvery messages.
void chan_consumer(const Params &p, Result *r, int) {
    if (!g_ch->open_side(0)) return fail(r, "consumer: open failed");
    Buf buf(p.payload), ack(sizeof(Hdr));
    RateMeter meter(p.warm);
    uint32_t since_ack = 0;
    for (;;) {
        long n = g_ch->recv(0, buf.data(), buf.size());
        if (n < long(sizeof(Hdr)))
            return fail(r, "consumer: recv failed (%ld, errno %d)", n, errno);
        Hdr h;
        std::memcpy(&h, buf.data(), sizeof h);
        if (h.kind == kStop) break;
        consume(buf.data(), size_t(n));
        meter.tick();
        if (++since_ack == kAckEvery) {
            since_ack = 0;
            Hdr a{kAck, 0};
            std::memcpy(ack.data(), &a, sizeof a);
            if (!g_ch->send(1, ack.data(), sizeof a)) return fail(r, "consumer: ack failed");
        }
    }
    meter.finish(r);
    g_ch->close_side();
}

void chan_producer(const Params &p, Result *r, int) {
    if (!g_ch->open_side(1)) return fail(r, "producer: open failed");
    Buf buf(p.payload), ack(p.payload);
    uint64_t sent = 0, acked = 0;
    const uint64_t end = now_ns() + uint64_t(p.secs * 1e9);
    for (;;) {
        if ((sent & 63) == 0 && now_ns() > end) break;
        while (sent - acked >= kWindow) {
            long n = g_ch->recv(1, ack.data(), ack.size());
            if (n < long(sizeof(Hdr))) return fail(r, "producer: ack recv failed");
            acked += kAckEvery;
        }
        fill(buf.data(), p.payload, uint32_t(sent));
        Hdr h{kData, uint32_t(sent)};
        std::memcpy(buf.data(), &h, sizeof h);
        if (!g_ch->send(0, buf.data(), p.payload))
            return fail(r, "producer: send failed (errno %d)", errno);
        ++sent;
    }
    Hdr stop{kStop, 0};
    std::memcpy(buf.data(), &stop, sizeof stop);
    g_ch->send(0, buf.data(), p.payload);
    // Drain the acknowledgements still on their way so the consumer never blocks on a
    // full return direction.
    while (acked + kAckEvery <= sent / kAckEvery * kAckEvery) {
        if (g_ch->recv(1, ack.data(), ack.size()) < 0) break;
        acked += kAckEvery;
    }
    g_ch->close_side();
    r->ok = 1;
}

// Idle: the receiver waits on its empty queue until the sender, secs later, sends one message.
void chan_idle_receiver(const Params &p, Result *r, int) {
    if (!g_ch->open_side(0)) return fail(r, "receiver: open failed");
    Buf buf(p.payload);
    const double c0 = cpu_seconds();
    const uint64_t t0 = now_ns();
    if (g_ch->recv(0, buf.data(), buf.size()) < 0) return fail(r, "receiver: recv failed");
    r->idle_cpu_pct = (cpu_seconds() - c0) * 1e11 / double(now_ns() - t0);
    g_ch->close_side();
    r->ok = 1;
}

void chan_idle_sender(const Params &p, Result *r, int) {
    if (!g_ch->open_side(1)) return fail(r, "sender: open failed");
    Buf buf(p.payload);
    usleep(useconds_t(p.secs * 1e6));
    Hdr h{kData, 0};
    std::memcpy(buf.data(), &h, sizeof h);
    if (!g_ch->send(0, buf.data(), p.payload)) return fail(r, "sender: send failed");
    g_ch->close_side();
    r->ok = 1;
}

} // namespace

Result run_channel(const Params &p, Channel *ch) {
    g_ch = ch;
    double deadline = 60 + (p.test == Test::Latency ? double(p.count + p.warm) * 1e-3 : p.secs * 3);
    if (p.test == Test::Idle)
        return run_sides(p, {chan_idle_receiver, chan_idle_sender}, 0, deadline);
    if (p.test == Test::Latency) return run_sides(p, {chan_echo, chan_ping}, 1, deadline);
    return run_sides(p, {chan_consumer, chan_producer}, 0, deadline);
}

} // namespace peers
