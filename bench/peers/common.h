// Shared pieces of the peer benchmark: parameters, the result record that the measuring
// child writes into shared memory, timing, CPU pinning, payload fill/read and the
// process harness that forks the two (or more) sides of a measurement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace peers {

// Idle: a receiver waits on an empty queue for secs; what it costs in CPU is measured.
enum class Test { Latency, Throughput, Idle };

struct Params {
    std::string transport;
    Test test = Test::Latency;
    uint32_t payload = 64;
    uint64_t count = 100000; // measured round trips
    uint64_t warm = 5000;    // round trips or messages before measuring starts
    double secs = 2.0;       // length of a throughput run
    int producers = 1;
    // Receive spin window of the spinning rows (µs); 0 for every other row.
    uint32_t spin_us = 0;
    // Messages per send and receive call of the batched rows (PXR_send_batch and
    // PXR_receive_batch); 1 for every other row.
    uint32_t batch = 1;
    // Buffers each thread of the libpxrlib rows may cache (PXR_set_buffer_cache); 0: none.
    uint32_t cache = 0;
    // The libpxrlib rows write and read only the payload's last byte: what the library costs
    // without the application's own work on the payload.
    bool untouched = false;
    int cpu_a = 0; // producer / pinger core, -1 = not pinned
    int cpu_b = 1; // consumer / echo core
    // Allowed to raise kernel limits (msgmax, RLIMIT_MSGQUEUE): only inside a private IPC
    // namespace, where the settings die with the namespace.
    bool tune = false;
};

// Written by the measuring child into a MAP_SHARED page set up before fork.
struct Result {
    int ok = 0;
    double median_us = 0, p99_us = 0, mean_us = 0;
    double msgs_per_s = 0;
    uint64_t messages = 0;
    // CPU time: cpu_s is this side's (summed over every side in run_sides' result), moved
    // the messages all sides carried from start to end, warm-up included.
    double cpu_s = 0;
    uint64_t moved = 0;
    uint64_t waits = 0;      // voluntary context switches: how often the sides slept
    double idle_cpu_pct = 0; // Idle: the waiting receiver's CPU, % of one core
    char error[200] = {};
};

// Credit window of every throughput run: a producer keeps at most kWindow messages
// unacknowledged and the consumer acknowledges every kAckEvery messages. Every queue
// is given room for the whole window, so the kernel's own limits never throttle a peer
// differently from the others.
inline constexpr uint32_t kWindow = 256;
inline constexpr uint32_t kAckEvery = 128;

// Message kinds carried in the first word of a payload (or in MSG.info for libpxrlib).
inline constexpr uint32_t kData = 1;
inline constexpr uint32_t kStop = 2;
inline constexpr uint32_t kAck = 3;

// Header at the start of the payload of the copying transports.
struct Hdr {
    uint32_t kind;
    uint32_t seq;
};

uint64_t now_ns() noexcept;
void pin_to(int cpu) noexcept;
void fail(Result *r, const char *fmt, ...) noexcept __attribute__((format(printf, 2, 3)));

// The options every measurement takes: --payload, --count, --warm, --secs, --rep, --tune and
// --cpus A,B. Reads argv[i] (and its value, moving i past it) into p and rep.
enum class Option { taken, other, bad };
Option common_option(int argc, char **argv, int &i, Params &p, int &rep) noexcept;

// Fill n payload bytes with a pattern derived from seq (every byte written).
inline void fill(uint8_t *p, size_t n, uint32_t seq) noexcept {
    std::memset(p, static_cast<int>(seq & 0xFF), n);
}
// Read every one of n bytes; the sum is kept so the reads cannot be dropped.
uint64_t consume(const uint8_t *p, size_t n) noexcept;

// Round-trip samples in ns -> median, p99 and mean in µs.
void summarize(std::vector<uint64_t> &samples, Result *r) noexcept;

// Throughput bookkeeping on the consumer side: counting starts after `warm` messages, or
// 0.2 s after the first one when the transport is too slow to reach `warm` soon, and ends at
// the first stop.
struct RateMeter {
    uint64_t warm;
    uint64_t seen = 0, base = 0;
    uint64_t first = 0, t0 = 0;
    explicit RateMeter(uint64_t w) : warm(w) {}
    // ready: any further condition for counting to start (e.g. every producer has been seen).
    void tick(bool ready = true) noexcept {
        ++seen;
        if (t0 != 0) return;
        if (seen == 1) first = now_ns();
        if (!ready) return;
        if (seen >= warm || ((seen & 63) == 0 && now_ns() - first > 200'000'000ull)) {
            t0 = now_ns();
            base = seen;
        }
    }
    void finish(Result *r) noexcept;
};

// CPU time of this process so far (user + system), in seconds.
double cpu_seconds() noexcept;
uint64_t voluntary_switches() noexcept;

// A side of a measurement: runs in its own forked process, pinned, and reports through r.
using SideFn = void (*)(const Params &, Result *r, int index);

// Forks one process per side (side 0 pinned to cpu_b: the consumer/echo; sides 1.. pinned to
// cpu_a), waits for all of them with a deadline, and returns the result of side `measurer`.
Result run_sides(const Params &p, const std::vector<SideFn> &sides, int measurer,
                 double deadline_s);

// Transports. Each returns the result of one measurement.
// Records per module queue of the pxr-ring rows.
inline constexpr uint32_t kRingCapacity = 1024;
// ring_capacity 0: kernel queues.
Result run_pxr(const Params &p, bool atomic, uint32_t ring_capacity = 0);
// False (and r failed) for a payload libpxrlib's benchmark partitions cannot carry.
bool pxr_payload_ok(const Params &p, Result *r) noexcept;
Result run_sysv_floor(const Params &p);
Result run_sysv_payload(const Params &p);
Result run_posix_mq(const Params &p);
Result run_unix_seqpacket(const Params &p);
Result run_zmq(const Params &p);
Result run_shm_poll(const Params &p);
Result run_iceoryx(const Params &p, bool busy_poll);
bool have_iceoryx() noexcept;

// A message buffer of the copying transports: kHeadroom writable bytes lie in front of
// data(), so a transport that needs a prefix (the System V message type) can put it there
// instead of copying the message.
inline constexpr size_t kHeadroom = 16;
class Buf {
  public:
    explicit Buf(size_t payload) : store_(payload + 64 + kHeadroom) {}
    uint8_t *data() noexcept { return store_.data() + kHeadroom; }
    size_t size() const noexcept { return store_.size() - kHeadroom; }
    uint8_t &operator[](size_t i) noexcept { return data()[i]; }

  private:
    std::vector<uint8_t> store_;
};

// The generic loops of the copying transports, over a bidirectional channel.
struct Channel {
    // Blocking send of len bytes from buf (a Buf's data()) in direction dir (0: A->B,
    // 1: B->A).
    virtual bool send(int dir, const void *buf, size_t len) noexcept = 0;
    // Blocking receive into buf (capacity cap) in direction dir; returns bytes or -1.
    virtual long recv(int dir, void *buf, size_t cap) noexcept = 0;
    // Called in each child after fork, before any traffic (e.g. to open per-process handles).
    virtual bool open_side(int side) noexcept {
        (void)side;
        return true;
    }
    virtual void close_side() noexcept {}
    virtual ~Channel() = default;
};
Result run_channel(const Params &p, Channel *ch);

} // namespace peers
