// Benchmarks of the message path: the allocate/release pair in both pool forms, and a
// two-process ping-pong and one-way stream beside the same loops written with bare
// msgsnd/msgrcv of a 12-byte record. Run inside a private IPC namespace (run_bench.sh): the
// environment's keys are fixed. With --ring-queues=N the library's queues are rings of N
// records (the bare rows stay kernel queues: the floor the rings are measured against).
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sched.h>
#include <string>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint32_t kPing = 1;
constexpr uint32_t kEcho = 2;
constexpr uint16_t kStopType = 0x7FFF;
// Partition 0 is laid out lock-free, partition 1 locked; the form used by getm/relm follows
// the common area's atomic_mode, so each pool benchmark sets the mode and asks for a size that
// only its partition serves.
constexpr uint32_t kAtomicSize = 64;
constexpr uint32_t kLockedSize = 128;
constexpr int32_t kBuffers = 2048; // more than a full queue holds, so a stream never runs dry

struct Record {
    long mtype;
    uint16_t index;
    uint16_t partition;
    uint8_t reserved[8];
};
constexpr size_t kText = 12;

uint32_t ring_capacity = 0; // 0: kernel queues

bool make_environment() {
    if (PXR_init(PXR_INIT_CREATE | PXR_INIT_ATOMIC, 0, 0) != 0) return false;
    if (ring_capacity != 0 && PXR_ring_queues(ring_capacity) != 0) return false;
    if (PXR_open_partition(0, kBuffers, kAtomicSize, 0, 0, PXR_OPEN_CREATE | PXR_OPEN_ATOMIC) != 0)
        return false;
    if (PXR_open_partition(1, kBuffers, kLockedSize, 0, 0, PXR_OPEN_CREATE) != 0) return false;
    if (IPC_create(kPing, 1) != 0 || IPC_create(kEcho, 1) != 0) return false;
    PXR_admit_attachers();
    return true;
}

void set_form(bool atomic) {
    common_ptr->atomic_mode = atomic ? 1u : 0u;
}

int queue_of(uint32_t module) {
    return int(common_ptr->module_queues[module].msqid);
}

void pin_to(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

int g_child_core = -1; // core of the children fork_child starts; -1 = not pinned

// The ping-pongs run on two cores, this process on core 0 and its echo on core 1, as a
// two-process exchange does on a machine that is not oversubscribed (and as the spin window
// expects). Nothing is pinned on a one-core machine.
struct TwoCores {
    cpu_set_t saved;
    bool pinned = false;
    TwoCores() {
        if (sysconf(_SC_NPROCESSORS_ONLN) < 2 || sched_getaffinity(0, sizeof saved, &saved) != 0)
            return;
        pinned = true;
        pin_to(0);
        g_child_core = 1;
    }
    ~TwoCores() {
        if (pinned) sched_setaffinity(0, sizeof saved, &saved);
        g_child_core = -1;
    }
    TwoCores(const TwoCores &) = delete;
    TwoCores &operator=(const TwoCores &) = delete;
};

pid_t fork_child(void (*body)()) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (g_child_core >= 0) pin_to(g_child_core);
        body();
        _exit(0);
    }
    return pid;
}

void reap(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
}

// ---- allocate + release, one process ----

void BM_GetmRelm(benchmark::State &state, bool atomic) {
    set_form(atomic);
    const uint16_t len = uint16_t(atomic ? kAtomicSize : kLockedSize);
    for (auto _ : state) {
        MSG *m = getm(1, 0, 0, len);
        benchmark::DoNotOptimize(m);
        relm(m);
    }
    set_form(true);
}
BENCHMARK_CAPTURE(BM_GetmRelm, lockfree, true);
BENCHMARK_CAPTURE(BM_GetmRelm, locked, false);

// ---- one message through a queue, one process: the library's own work per message, without
// a second core to wait for or a cache line to move ----

void BM_SendGrab(benchmark::State &state) {
    for (auto _ : state) {
        MSG *m = getm(1, 0, 0, kAtomicSize);
        PXR_send(kPing, m);
        relm(PXR_grab(kPing));
    }
}
BENCHMARK(BM_SendGrab);

// ---- ping-pong round trip ----

void library_echo() {
    PXR_unlink(); // a process of its own: attach afresh
    for (;;) {
        MSG *m = PXR_receive(kEcho);
        if (m == nullptr) continue;
        if (m->type == kStopType) {
            relm(m);
            return;
        }
        confirm_msg(m);
    }
}

// Both sides with the receive spin window (the echo sets its own after the fork).
constexpr uint32_t kSpinUs = 50;
void library_echo_spinning() {
    PXR_set_receive_spin(kSpinUs);
    library_echo();
}

void ping_pong_library(benchmark::State &state, bool spin) {
    set_form(true);
    TwoCores cores;
    PXR_set_receive_spin(spin ? kSpinUs : 0);
    pid_t echo = fork_child(spin ? library_echo_spinning : library_echo);
    for (auto _ : state) {
        MSG *m = getm(0x4001, 0, uint16_t(1u << kPing), 0);
        m->src = kPing;
        m->dst = kEcho;
        PXR_send(kEcho, m);
        relm(PXR_receive(kPing));
    }
    MSG *stop = getm(kStopType, 0, 0, 0);
    PXR_send(kEcho, stop);
    reap(echo);
    PXR_set_receive_spin(0);
}
void BM_PingPong_Library(benchmark::State &state) {
    ping_pong_library(state, false);
}
BENCHMARK(BM_PingPong_Library)->UseRealTime();
void BM_PingPong_LibrarySpin(benchmark::State &state) {
    ping_pong_library(state, true);
}
BENCHMARK(BM_PingPong_LibrarySpin)->UseRealTime();

// The bare queue's receive, optionally polling for up to kSpinUs first: the same window on
// the floor under the library.
bool g_bare_spin = false;
ssize_t bare_receive(int q, Record &r) {
    if (g_bare_spin) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinUs);
        do {
            const ssize_t n = msgrcv(q, &r, kText, 0, IPC_NOWAIT);
            if (n >= 0) return n;
        } while (std::chrono::steady_clock::now() < end);
    }
    return msgrcv(q, &r, kText, 0, 0);
}

void bare_echo() {
    Record r;
    for (;;) {
        if (bare_receive(queue_of(kEcho), r) < 0) continue;
        if (r.index == 0xFFFF) return;
        msgsnd(queue_of(kPing), &r, kText, IPC_NOWAIT);
    }
}

void ping_pong_bare(benchmark::State &state, bool spin) {
    g_bare_spin = spin; // inherited by the echo
    TwoCores cores;
    pid_t echo = fork_child(bare_echo);
    Record r{1, 0, 0, {}};
    for (auto _ : state) {
        r.index = 1;
        msgsnd(queue_of(kEcho), &r, kText, IPC_NOWAIT);
        bare_receive(queue_of(kPing), r);
    }
    r.index = 0xFFFF;
    msgsnd(queue_of(kEcho), &r, kText, 0);
    reap(echo);
    g_bare_spin = false;
}
void BM_PingPong_Bare(benchmark::State &state) {
    ping_pong_bare(state, false);
}
BENCHMARK(BM_PingPong_Bare)->UseRealTime();
void BM_PingPong_BareSpin(benchmark::State &state) {
    ping_pong_bare(state, true);
}
BENCHMARK(BM_PingPong_BareSpin)->UseRealTime();

// ---- one-way stream: the producer's loop until the consumer has taken everything ----

void library_sink() {
    PXR_unlink();
    for (;;) {
        MSG *m = PXR_receive(kEcho);
        if (m == nullptr) continue;
        const bool stop = m->type == kStopType;
        relm(m);
        if (stop) return;
    }
}

void BM_Stream_Library(benchmark::State &state) {
    set_form(true);
    pid_t sink = fork_child(library_sink);
    for (auto _ : state) {
        MSG *m = getm(1, 0, 0, 0);
        m->src = kPing;
        m->dst = kEcho;
        while (PXR_send(kEcho, m) != 0) {
        }
    }
    MSG *stop = getm(kStopType, 0, 0, 0);
    while (PXR_send(kEcho, stop) != 0) {
    }
    reap(sink);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Stream_Library)->UseRealTime();

void bare_sink() {
    Record r;
    for (;;) {
        if (msgrcv(queue_of(kEcho), &r, kText, 0, 0) < 0) continue;
        if (r.index == 0xFFFF) return;
    }
}

// Sends the way PXR_send does: without blocking, yielding while the queue is full.
void bare_send(int q, Record &r) {
    while (msgsnd(q, &r, kText, IPC_NOWAIT) != 0) sleep(0);
}

void BM_Stream_Bare(benchmark::State &state) {
    pid_t sink = fork_child(bare_sink);
    Record r{1, 1, 0, {}};
    for (auto _ : state) bare_send(queue_of(kEcho), r);
    r.index = 0xFFFF;
    bare_send(queue_of(kEcho), r);
    reap(sink);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Stream_Bare)->UseRealTime();

// Keeps each benchmark's best time per iteration over its repetitions for the summary table:
// on a shared machine the minimum is the figure least disturbed by other work.
class Collector : public benchmark::ConsoleReporter {
  public:
    Collector() : ConsoleReporter(OO_None) {}
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0) continue;
            const double per = r.real_accumulated_time * 1e9 / double(r.iterations);
            auto [it, fresh] = ns.try_emplace(r.run_name.function_name, per);
            if (!fresh && per < it->second) it->second = per;
        }
    }
};

double find(const std::map<std::string, double> &ns, const std::string &prefix) {
    for (const auto &[name, v] : ns)
        if (name.rfind(prefix, 0) == 0) return v;
    return 0;
}

void print_table(const std::map<std::string, double> &ns) {
    const double lf = find(ns, "BM_GetmRelm/lockfree");
    const double lk = find(ns, "BM_GetmRelm/locked");
    const double pl = find(ns, "BM_PingPong_Library");
    const double pb = find(ns, "BM_PingPong_Bare");
    const double psl = find(ns, "BM_PingPong_LibrarySpin");
    const double psb = find(ns, "BM_PingPong_BareSpin");
    const double sl = find(ns, "BM_Stream_Library");
    const double sb = find(ns, "BM_Stream_Bare");
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    auto rate = [](double per) { return per > 0 ? 1e9 / per / 1e6 : 0.0; };
    if (ring_capacity != 0)
        printf("\nlibrary queues: rings of %u records; bare rows: kernel queues\n", ring_capacity);
    printf("\n%-44s %14s %12s\n", "measurement (best of the repetitions)", "value", "target");
    printf("%-44s %11.1f ns %12s\n", "getm+relm, lock-free pool", lf, "<= 50 ns");
    printf("%-44s %11.1f ns\n", "getm+relm, locked pool (2 semops)", lk);
    printf("%-44s %12.1fx\n", "locked / lock-free", ratio(lk, lf));
    printf("%-44s %11.1f ns\n", "getm+send+grab+relm, one process", find(ns, "BM_SendGrab"));
    printf("%-44s %11.2f us\n", "round trip, library (getm/send/recv/confirm)", pl / 1e3);
    printf("%-44s %11.2f us\n", "round trip, bare msgsnd/msgrcv 12 bytes", pb / 1e3);
    printf("%-44s %12.2fx %12s\n", "library / bare round trip", ratio(pl, pb), "<= 1.10x");
    printf("%-44s %11.2f us\n", "round trip, library, receive spin 50 us", psl / 1e3);
    printf("%-44s %11.2f us\n", "round trip, bare queue, spin 50 us", psb / 1e3);
    printf("%-44s %12.2fx %12s\n", "spinning library / blocking bare", ratio(psl, pb), "<= 0.15x");
    printf("%-44s %12.2fx %12s\n", "spinning library / spinning bare", ratio(psl, psb), "<= 1.15x");
    printf("%-44s %9.2f Mmsg/s\n", "one-way stream, library", rate(sl));
    printf("%-44s %9.2f Mmsg/s\n", "one-way stream, bare", rate(sb));
    printf("%-44s %12.2fx\n", "library / bare time per message", ratio(sl, sb));
}

} // namespace

int main(int argc, char **argv) {
    // Our own option first; the rest is Google Benchmark's.
    if (argc > 1 && std::string(argv[1]).rfind("--ring-queues=", 0) == 0) {
        ring_capacity = uint32_t(std::stoul(argv[1] + 14));
        argv[1] = argv[0];
        --argc;
        ++argv;
    }
    benchmark::Initialize(&argc, argv);
    if (!make_environment()) {
        fprintf(stderr, "cannot create the environment (run inside a private IPC namespace)\n");
        return 1;
    }
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    print_table(collector.ns);
    PXR_close();
    return 0;
}
