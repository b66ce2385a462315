// A module queue kept in shared memory: a bounded ring of buffer references that any number
// of processes put into and take from, with futex wake-ups for receivers that wait. A send
// costs no system call while no receiver sleeps.
//
// The unit knows nothing of the environment: it works on a header and a slot array that the
// caller maps, and on the 32-bit reference {index | partition << 16} that the module queue
// record carries (the record's other bytes carry nothing).
//
// Protocol (Vyukov's bounded queue; positions are 64-bit counters, a slot keeps their low 32
// bits in `seq`, so the counters may wrap through 2^32 freely):
//   slot of position pos free for it      seq == pos            (high half 0)
//   slot holding the record of pos        seq == pos + 1        (high half: the reference)
//   freed for the next lap                seq == pos + capacity
// A sender reserves a position by compare-and-swap on `tail` and commits seq and reference
// together with one 64-bit compare-and-swap that expects seq == pos. A receiver claims a
// committed position by compare-and-swap on `head`, reads the reference and frees the slot.
// A position reserved but not committed for kRepairNs (its sender died, or stalls) is claimed
// by a receiver and skipped with a compare-and-swap seq: pos -> pos + capacity; a sender that
// was only slow then sees its commit fail and puts the record in again, so nothing is lost
// and its own order is kept.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pxr_impl::ring {

inline constexpr uint32_t kMinCapacity = 16;
inline constexpr uint32_t kMaxCapacity = 65536;
inline constexpr uint32_t kDefaultCapacity = 1024;
inline constexpr uint32_t kNoQueue = 0xFFFFFFFF;
inline constexpr uint32_t kNoRef = 0xFFFFFFFF; // a landing that holds no reference
// Receivers that can sleep on one ring at the same instant with a wake-up of their own; more
// wait in short naps instead.
inline constexpr int kSleeperSlots = 4;
// A reserved position not committed for this long is skipped.
inline constexpr uint64_t kRepairNs = 2000000;
// Longest single sleep: a safety net that bounds what a sender killed between its commit and
// its wake-up costs the receiver.
inline constexpr uint64_t kSafetyNs = 100000000;
inline constexpr uint64_t kForever = UINT64_MAX;

constexpr bool valid_capacity(uint32_t capacity) noexcept {
    return capacity >= kMinCapacity && capacity <= kMaxCapacity && (capacity & (capacity - 1)) == 0;
}

// One ring's shared words, each group on a cache line of its own so that senders and
// receivers do not take each other's lines on the fast path.
//
// Who writes what:
//   queue_id      IPC_create and IPC_delete (the loader); read by everybody.
//   magic, safety_ns  reset, before the ring serves a queue.
//   tail          senders (compare-and-swap), and reset.
//   sender_cpu    each sender after its commit (plain atomic store): a hint for spinning.
//   head          receivers (compare-and-swap), and reset.
//   last_pid      the receiver that just took a record (plain atomic store).
//   wake_seq      senders that found a registered sleeper (atomic add): the futex word.
//   sleepers      each waiting receiver its own entry, 0 -> pid before it sleeps and pid -> 0
//                 after; a sender or the loader clears the entry of a process that is gone.
//   idle_wakes    senders whose wake-up found nobody in the kernel (relaxed counter).
//   slots         see the protocol above.
//
// Why no wake-up is lost. Every access to a slot word, to `sleepers` and to `wake_seq` in
// the wait and wake paths is sequentially consistent, so they fall into one total order.
//   receiver: R1 register in sleepers   R2 w = wake_seq   R3 look at the slot   R4 wait(w)
//   sender:   S1 commit the slot        S2 read sleepers  S3 wake_seq += 1, futex wake
// If S1 comes before R3 in that order, R3 sees the record and the receiver does not sleep.
// Otherwise R1 < R2 < R3 < S1 < S2: the sender sees the registration and runs S3, whose add
// comes after R2. Then either the add is done before R4, and the kernel, which compares
// wake_seq with w under its own lock, refuses to sleep; or R4 sleeps first and the wake
// after the add finds it. Remove R3 (the re-check) and a record committed between the
// receiver's last look and R1 sleeps until the safety net.
struct alignas(64) Header {
    uint32_t magic;
    uint32_t queue_id;
    uint64_t safety_ns; // longest single sleep: kSafetyNs (tests lengthen it to expose a loss)
    alignas(64) uint64_t tail;
    int32_t sender_cpu; // the CPU the last sender ran on
    alignas(64) uint64_t head;
    int32_t last_pid;
    alignas(64) uint32_t wake_seq;
    int32_t sleepers[kSleeperSlots];
    uint32_t idle_wakes;
};
static_assert(sizeof(Header) == 256 && offsetof(Header, wake_seq) == 192);

// A ring as one process sees it.
struct View {
    Header *header = nullptr;
    uint64_t *slots = nullptr; // capacity words
    uint32_t capacity = 0;
    explicit operator bool() const noexcept { return header != nullptr; }
};

// What one receiver keeps between calls: when it first found the position at head reserved
// and not committed (the repair timer).
struct Cursor {
    uint64_t pending_pos = UINT64_MAX;
    uint64_t pending_since = 0;
    // Where the reference is published before its position is claimed (null: nowhere), so
    // that an observer reading the ring and then this word finds a record in one of them;
    // kNoRef when no record is being taken.
    uint32_t *landing = nullptr;
};

// Makes the ring empty, positions starting at first (tests start near 2^32 to cross the wrap
// of seq), and names the queue it serves. Only while nobody uses the ring.
void reset(View ring, uint32_t queue_id, uint64_t first = 0) noexcept;

// Puts a reference in without ever blocking. False when the ring is full.
bool push(View ring, uint32_t ref) noexcept;

enum class Take { got, empty, pending };
// Takes the oldest record. pending: the position at head is reserved but not committed yet
// (*wait_ns: how long before it is skipped); empty: nothing is there. A receiver passes its
// pid for last_pid.
Take try_pop(View ring, Cursor &cursor, int32_t pid, uint32_t &ref,
             uint64_t *wait_ns = nullptr) noexcept;

enum class Wait { got, timed_out, interrupted, removed };
// Takes the oldest record, sleeping without CPU until one comes, the monotonic clock passes
// deadline_ns (kForever: no limit), a signal handler runs (also one installed with
// SA_RESTART: the sleep always carries a time-out, and the kernel does not restart such a
// futex wait after a handler), or the ring stops serving queue_id (removed).
Wait pop_wait(View ring, Cursor &cursor, int32_t pid, uint32_t queue_id, uint64_t deadline_ns,
              uint32_t &ref) noexcept;

// The CPU the ring's last sender ran on, -1 when unknown: a receiver whose own CPU it is
// cannot expect an answer while it polls, since the sender would have to take the CPU back.
inline int32_t sender_cpu(View ring) noexcept {
    return std::atomic_ref(ring.header->sender_cpu).load(std::memory_order_relaxed);
}

// Records committed or reserved and not yet taken.
inline uint32_t depth(View ring) noexcept {
    const uint64_t head = std::atomic_ref(ring.header->head).load(std::memory_order_relaxed);
    const uint64_t tail = std::atomic_ref(ring.header->tail).load(std::memory_order_relaxed);
    return tail > head ? uint32_t(tail - head < ring.capacity ? tail - head : ring.capacity) : 0;
}
// Calls f(ref) for each record committed and not yet taken, oldest first. Records taken or
// put in meanwhile may be seen or missed; none that stays in the ring is missed.
template <class F>
void for_each_record(View ring, F &&f) {
    const uint64_t head = std::atomic_ref(ring.header->head).load(std::memory_order_seq_cst);
    const uint64_t tail = std::atomic_ref(ring.header->tail).load(std::memory_order_seq_cst);
    for (uint64_t pos = head; pos < tail && pos - head < ring.capacity; ++pos) {
        const uint64_t word =
            std::atomic_ref(ring.slots[pos & (ring.capacity - 1)]).load(std::memory_order_seq_cst);
        if (uint32_t(word) == uint32_t(pos + 1)) f(uint32_t(word >> 32));
    }
}
// Wakes every receiver sleeping on the ring (after its queue is removed).
void wake_all(View ring) noexcept;
// Clears the sleeper entries of pid (a process that ended while it waited). How many.
int forget_sleeper(View ring, int32_t pid) noexcept;
// Frees the slots of records that receivers claimed and have not freed: a receiver killed
// between the two steps would otherwise leave its slot, and so the ring, full for good. A
// receiver that was only slow still returns its record (it read it before claiming) and finds
// its slot freed. How many.
int release_taken(View ring) noexcept;

uint64_t now_ns() noexcept;

} // namespace pxr_impl::ring
