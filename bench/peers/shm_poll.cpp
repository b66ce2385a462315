// The physical lower bound: two processes that share an anonymous mapping and spin on
// sequence words. The payload is written and read in place, as with a zero-copy transport.
#include "common.h"

#include <atomic>
#include <new>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace peers {

namespace {

inline void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

struct alignas(64) PingPong {
    alignas(64) std::atomic<uint32_t> ping{0};
    alignas(64) std::atomic<uint32_t> pong{0};
    alignas(64) std::atomic<uint64_t> head{0}; // ring: produced
    alignas(64) std::atomic<uint64_t> tail{0}; // ring: consumed
    alignas(64) uint8_t data[];                // round trip: one buffer; ring: kWindow slots
};

PingPong *g_pp;
size_t g_slot; // bytes per ring slot, a multiple of 64

uint8_t *slot(uint64_t i) {
    return g_pp->data + (i % kWindow) * g_slot;
}

constexpr uint32_t kStopSeq = 0xFFFFFFFFu;

void echo(const Params &p, Result *r, int) {
    uint32_t expect = 1;
    for (;;) {
        uint32_t s;
        while ((s = g_pp->ping.load(std::memory_order_acquire)) != expect && s != kStopSeq) relax();
        if (s == kStopSeq) break;
        consume(g_pp->data, p.payload);
        g_pp->pong.store(expect, std::memory_order_release);
        ++expect;
    }
    r->ok = 1;
}

void ping(const Params &p, Result *r, int) {
    std::vector<uint64_t> samples;
    samples.reserve(p.count);
    const uint64_t total = p.warm + p.count;
    for (uint64_t i = 0; i < total; ++i) {
        uint64_t t0 = now_ns();
        fill(g_pp->data, p.payload, uint32_t(i));
        uint32_t seq = uint32_t(i + 1);
        g_pp->ping.store(seq, std::memory_order_release);
        while (g_pp->pong.load(std::memory_order_acquire) != seq) relax();
        consume(g_pp->data, p.payload);
        uint64_t t1 = now_ns();
        if (i >= p.warm) samples.push_back(t1 - t0);
    }
    g_pp->ping.store(kStopSeq, std::memory_order_release);
    summarize(samples, r);
}

void consumer(const Params &p, Result *r, int) {
    RateMeter meter(p.warm);
    uint64_t t = 0, head = 0;
    for (;;) {
        while (head == t) {
            head = g_pp->head.load(std::memory_order_acquire);
            if (head == t) relax();
        }
        uint8_t *s = slot(t);
        Hdr h;
        std::memcpy(&h, s, sizeof h);
        if (h.kind == kStop) break;
        consume(s, p.payload);
        meter.tick();
        g_pp->tail.store(++t, std::memory_order_release);
    }
    meter.finish(r);
}

void producer(const Params &p, Result *r, int) {
    uint64_t h = 0, tail = 0;
    const uint64_t end = now_ns() + uint64_t(p.secs * 1e9);
    bool stop = false;
    while (!stop) {
        stop = (h & 63) == 0 && now_ns() > end;
        while (h - tail >= kWindow) {
            tail = g_pp->tail.load(std::memory_order_acquire);
            if (h - tail >= kWindow) relax();
        }
        uint8_t *s = slot(h);
        fill(s, p.payload, uint32_t(h));
        Hdr hd{stop ? kStop : kData, uint32_t(h)};
        std::memcpy(s, &hd, sizeof hd);
        g_pp->head.store(++h, std::memory_order_release);
    }
    r->ok = 1;
}

} // namespace

Result run_shm_poll(const Params &p) {
    Result r;
    if (std::thread::hardware_concurrency() < 2 || p.cpu_a == p.cpu_b) {
        fail(&r, "busy polling needs two cores");
        return r;
    }
    g_slot = (p.payload + 63) / 64 * 64;
    size_t bytes = sizeof(PingPong) + size_t(kWindow) * g_slot;
    void *mem = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        fail(&r, "mmap failed");
        return r;
    }
    g_pp = new (mem) PingPong();
    double deadline = 60 + (p.test == Test::Latency ? double(p.count + p.warm) * 1e-3 : p.secs * 3);
    if (p.test == Test::Latency)
        r = run_sides(p, {echo, ping}, 1, deadline);
    else
        r = run_sides(p, {consumer, producer}, 0, deadline);
    munmap(mem, bytes);
    return r;
}

} // namespace peers
