// A producer that outruns its consumer: the producer offers ten times what the consumer can
// take (the consumer spends work_us on each message, the producer would send one every
// work_us / 10) for secs, in an environment with fatal action 1, where an allocation that
// finds no buffer or a send that finds the queue full for good would end everything. It
// allocates with PXR_timed_getmem and sends with PXR_timed_send, and waits in them for the
// consumer. Two forms: "alloc" (kernel queues, a partition of 64 buffers: the producer
// waits for a buffer) and "send" (ring queues of 16 records, a large partition: it waits for
// room in the queue). Reported: messages made and taken, lost (made but never taken) and out of
// order, the fatal code and internal errors left in the common area, the producer's
// CPU over the run (getrusage), per message, and how often it slept.
#include "fanout.h"
#include "pxrlib.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace peers {

namespace {

constexpr uint32_t kProducer = 1;
constexpr uint32_t kConsumer = 2;
constexpr uint32_t kCongestionModule = 254;
constexpr uint16_t kType = 0x0100;
constexpr uint32_t kWaitMs = 100;

// Written by the two sides into a page shared across the fork.
struct Figures {
    uint64_t produced = 0, consumed = 0, out_of_order = 0, timeups = 0;
    double producer_cpu_pct = 0; // the producer's CPU over the run (getrusage), % of one core
    double cpu_us_per_msg = 0;   // the same per message made
    double sleeps_per_msg = 0;   // the producer's voluntary context switches per message made
    double waiting_pct = 0;      // the share of the run it spent in the waiting calls
    double consumer_rate = 0;    // messages/s the consumer took
};
Figures *g_fig;
uint32_t g_work_us = 1000;

// Sleeps until the monotonic clock reads at_ns.
void sleep_until(uint64_t at_ns) noexcept {
    const timespec ts{time_t(at_ns / 1000000000ull), long(at_ns % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void consumer(const Params &, Result *r, int) {
    PXR_unlink();
    uint64_t received = 0, first = 0;
    for (uint32_t expected = 0;; ++expected) {
        MSG *m = PXR_receive(kConsumer);
        if (m == nullptr) return fail(r, "consumer: PXR_receive returned null");
        if (first == 0) first = now_ns();
        consume(m->param, m->len);
        FanMsg h;
        std::memcpy(&h, m->param, sizeof h);
        relm(m);
        if (h.seq != expected) ++g_fig->out_of_order;
        if (h.kind == kStop) break;
        ++received;
        sleep_until(now_ns() + uint64_t(g_work_us) * 1000); // the consumer's work
    }
    g_fig->consumed = received;
    g_fig->consumer_rate = double(received) * 1e9 / double(now_ns() - first);
    r->ok = 1;
}

// One waiting call, with the time it took (the monotonic clock costs no system call).
template <class F>
int timed(uint64_t &wall_ns, F call) {
    const uint64_t t0 = now_ns();
    const int rc = call();
    wall_ns += now_ns() - t0;
    return rc;
}

void producer(const Params &p, Result *r, int) {
    PXR_unlink();
    const auto len = uint16_t(p.payload);
    const uint64_t interval = uint64_t(g_work_us) * 100; // ns: ten times the consumer's pace
    uint64_t wall_wait = 0, timeups = 0;
    const double c0 = cpu_seconds();
    const uint64_t s0 = voluntary_switches();
    const uint64_t start = now_ns(), end = start + uint64_t(p.secs * 1e9);
    uint32_t seq = 0;
    for (bool last = false; !last; ++seq) {
        last = now_ns() >= end;
        // The offered pace; a producer held back by the consumer is always behind it.
        if (!last) {
            const uint64_t due = start + uint64_t(seq) * interval;
            if (now_ns() < due) sleep_until(due);
        }
        MSG *m = nullptr;
        for (;;) {
            uint32_t size = len;
            const int rc =
                timed(wall_wait, [&] { return PXR_timed_getmem(0, &size, &m, kWaitMs); });
            if (rc == 0) break;
            if (rc < 0) return fail(r, "producer: PXR_timed_getmem refused");
            ++timeups;
        }
        m->type = kType, m->src = uint8_t(kProducer), m->dst = uint8_t(kConsumer);
        m->msg_class = 0, m->reply_mask = 0, m->len = len;
        const FanMsg h{last ? kStop : kData, seq, 0, 0};
        fill(m->param, len, seq);
        std::memcpy(m->param, &h, sizeof h);
        for (;;) {
            const int rc = timed(wall_wait, [&] { return PXR_timed_send(kConsumer, m, kWaitMs); });
            if (rc == 0) break;
            if (rc < 0) return fail(r, "producer: PXR_timed_send failed");
            ++timeups;
        }
    }
    const double run_s = double(now_ns() - start) * 1e-9;
    g_fig->produced = seq - 1; // the stop message carries no data
    g_fig->timeups = timeups;
    const double cpu_s = cpu_seconds() - c0;
    g_fig->producer_cpu_pct = cpu_s * 100 / run_s;
    g_fig->cpu_us_per_msg = cpu_s * 1e6 / double(seq);
    g_fig->sleeps_per_msg = double(voluntary_switches() - s0) / double(seq);
    g_fig->waiting_pct = double(wall_wait) * 1e-7 / run_s;
    r->ok = 1;
}

int usage() {
    fprintf(stderr, "usage: peerbench backpressure --form alloc|send [--secs S] [--work-us US]\n"
                    "                 [--payload N] [--cpus A,B] [--rep R]\n");
    return 2;
}

} // namespace

int backpressure_main(int argc, char **argv) {
    Params p;
    p.secs = 10;
    int rep = 1;
    std::string form = "alloc";
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) p.cpu_a = p.cpu_b = -1;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        auto val = [&]() -> const char * { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--form")
            form = val();
        else if (a == "--secs")
            p.secs = atof(val());
        else if (a == "--work-us")
            g_work_us = uint32_t(atol(val()));
        else if (a == "--payload")
            p.payload = uint32_t(atol(val()));
        else if (a == "--rep")
            rep = atoi(val());
        else if (a == "--cpus") {
            if (sscanf(val(), "%d,%d", &p.cpu_a, &p.cpu_b) != 2) return usage();
        } else
            return usage();
    }
    if ((form != "alloc" && form != "send") || p.payload < sizeof(FanMsg) || p.payload % 4 != 0 ||
        g_work_us < 10)
        return usage();
    const bool rings = form == "send";
    Result r;
    g_fig = static_cast<Figures *>(
        mmap(nullptr, sizeof(Figures), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (g_fig == MAP_FAILED) return 1;
    new (g_fig) Figures();
    const uint32_t flags = PXR_INIT_CREATE | PXR_INIT_ATOMIC | PXR_INIT_FATAL_ACTION(1);
    bool ok = PXR_init(flags, 0, kCongestionModule) == 0 && (!rings || PXR_ring_queues(16) == 0) &&
              PXR_open_partition(0, rings ? 1024 : 64, p.payload, 0, 0,
                                 PXR_OPEN_CREATE | PXR_OPEN_ATOMIC) == 0 &&
              IPC_create(kProducer, 1) == 0 && IPC_create(kConsumer, 1) == 0;
    CommonArea *ca = PXR_common_area();
    pid_t waiter = -1;
    if (ok) {
        fflush(nullptr);
        waiter = fork();
        if (waiter == 0) {
            PXR_wait_exit(); // marks the environment running, then blocks
            _exit(0);
        }
        p.test = Test::Throughput;
        r = run_sides(p, {consumer, producer}, 1, p.secs + 60);
    } else {
        fail(&r, "setting up the environment failed (run in unshare --ipc)");
    }
    const uint32_t fatal = ca ? ca->fatal_code : 0, errors = ca ? ca->internal_errors : 0;
    if (waiter > 0) {
        kill(waiter, SIGKILL);
        waitpid(waiter, nullptr, 0);
    }
    PXR_close_without_signals();
    const Figures &f = *g_fig;
    const uint64_t lost = f.produced > f.consumed ? f.produced - f.consumed : 0;
    for (char *c = r.error; *c; ++c)
        if (*c == ',' || *c == '\n') *c = ';';
    printf("%s,%d,%d,%.1f,%u,%llu,%llu,%llu,%llu,%u,%u,%llu,%.3f,%.2f,%.3f,%.1f,%.0f,%s\n",
           form.c_str(), rep, r.ok, p.secs, g_work_us, (unsigned long long)f.produced,
           (unsigned long long)f.consumed, (unsigned long long)lost,
           (unsigned long long)f.out_of_order, fatal, errors, (unsigned long long)f.timeups,
           f.producer_cpu_pct, f.cpu_us_per_msg, f.sleeps_per_msg, f.waiting_pct, f.consumer_rate,
           r.error);
    return r.ok && lost == 0 && f.out_of_order == 0 && fatal == 0 && errors == 0 ? 0 : 1;
}

} // namespace peers
