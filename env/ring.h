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
// by a receiver and skipped with a compare-and-swap seq: pos -> pos + capacity (unblock); a
// sender that was only slow then sees its commit fail and puts the record in again, so nothing
// is lost and its own order is kept. Between that claim and that mark, the next lap finds the
// slot still reserved for pos with head beyond it: whoever meets it finishes the skip with the
// same compare-and-swap (finish_skip), so a receiver stopped there is neither damage nor a full
// ring, and tail - head is read as a measure of the ring only while head stands still. A record
// claimed and not freed for kRepairNs (its receiver stopped between the two steps) is freed by
// a sender that needs the slot (free_stalled): the reference is already in that receiver's
// landing, which goes on charging it with the buffer.
//
// Batches. A sender may reserve several consecutive positions with one compare-and-swap on
// tail (each slot free for its lap) and commit them one by one, in order. A sender killed
// between its reservation and its last commit leaves the rest reserved: they are skipped as
// above, and their records, never committed, stay its own. When one of its positions was
// skipped (it was only slow), the positions it reserved after it must not deliver their
// records before that one goes in again: it commits them as holes (reference kNoRef), which
// receivers claim and pass over, and puts the rest in again, in order.
//
// ABA. seq keeps only the low 32 bits of a position, so the slot free for pos looks the same
// as the slot free for pos + 2^32. A sender stopped between its reservation and its commit
// while 2^32 positions pass (its own was skipped long ago) commits into the slot that is free
// for pos + 2^32, which nobody may have reserved: tail can then lag behind a committed, even
// a taken, position. This is harmless by construction: the record is a real one, delivered
// once; a sender that finds the slot at tail already used (seq ahead of tail) helps tail past
// it instead of waiting for a reservation that never comes, and a receiver treats head at or
// beyond tail as empty. So no position is waited for that nobody will commit, and head never
// stays ahead of tail. The one ABA left is a receiver's: stopped between its claim and its
// free for 2^32 positions (its slot freed by a sender meanwhile), its free may hit the slot
// committed 2^32 positions later when that record names the same buffer. That record is then
// lost, and receivers pass over its position, which they find freed for the next lap without
// a claim; the ring goes on.
//
// Bounds. Only capacity, kept per process in the View, sizes anything; head, tail and the
// slots are checked against each other (tail - head <= capacity, a slot's seq one of the few
// values its position allows) and a ring that breaks them is reported damaged, never waited
// on or spun over. The timing of waits is per process too (View), never read from the ring.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pxr_impl::ring {

inline constexpr uint32_t kMinCapacity = 16;
inline constexpr uint32_t kMaxCapacity = 65536;
inline constexpr uint32_t kDefaultCapacity = 1024;
inline constexpr uint32_t kNoQueue = 0xFFFFFFFF;
// A landing that holds no reference; in a slot, a hole that carries no record.
inline constexpr uint32_t kNoRef = 0xFFFFFFFF;
// Receivers that can sleep on one ring at the same instant with a wake-up of their own; more
// wait in short naps instead.
inline constexpr int kSleeperSlots = 4;
// A reserved position not committed for this long is skipped.
inline constexpr uint64_t kRepairNs = 2000000;
// Longest single sleep: a safety net that bounds what a sender killed between its commit and
// its wake-up costs the receiver.
inline constexpr uint64_t kSafetyNs = 100000000;
// How long a receiver that found the ring empty keeps looking before it registers to sleep.
// A stream's next record is often on its way; the sleep and the wake-up this saves cost the
// receiver and the sender a system call each, several times this look.
inline constexpr uint32_t kSettleNs = 2000;
inline constexpr uint64_t kForever = UINT64_MAX;

constexpr bool valid_capacity(uint32_t capacity) noexcept {
    return capacity >= kMinCapacity && capacity <= kMaxCapacity && (capacity & (capacity - 1)) == 0;
}

// One ring's shared words, each group on a cache line of its own so that senders and
// receivers do not take each other's lines on the fast path.
//
// Who writes what:
//   queue_id      IPC_create and IPC_delete (the loader); read by everybody.
//   magic         reset, before the ring serves a queue.
//   tail          senders (compare-and-swap), and reset.
//   sender_cpu    each sender after its commit, when it changed: a hint for spinning, on a
//                 line of its own, for a polling receiver reads it before each receive (the
//                 tail line changes at every send) and senders on several CPUs change it
//                 often (the first line is read at every operation).
//   head          receivers (compare-and-swap), and reset.
//   last_pid      the receiver that just took a record, when it is not already named there.
//   sleepers      each a futex word: a waiting receiver puts its thread id into a free entry
//                 (0 -> tid) before it sleeps and sleeps on that entry while it holds the id;
//                 the sender that takes the id out again (exchange -> 0) owes it the wake-up.
//                 The receiver clears its entry itself (tid -> 0) when it wakes otherwise.
//   slots         see the protocol above.
//
// Why no wake-up is lost. Every access to a slot word and to `sleepers` in the wait and wake
// paths is sequentially consistent, so they fall into one total order.
//   receiver: R1 entry 0 -> tid   R3 look at the slot   R4 futex wait while entry == tid
//   sender:   S1 commit the slot  S2 read each entry    S3 exchange a non-zero entry for 0,
//                                                          futex wake on it
// If S1 comes before R3 in that order, R3 sees the record and the receiver does not sleep.
// Otherwise R1 < R3 < S1 < S2: the sender's read of the receiver's entry comes after R1, so it
// finds the tid, or 0 because another sender's exchange took it (that sender wakes the
// receiver), or because the receiver woke and cleared it (it then looks at the ring again
// before any further sleep, and that look is covered by the same argument). Exactly one
// exchange takes a given registration; its futex wake either finds the receiver asleep on the
// entry, or comes first, and the kernel, which compares the entry with the tid under its own
// lock, refuses the sleep. So a sender pays a system call only for a receiver that registered
// and that no other sender has woken yet: while a woken receiver gets up, the sends that
// follow find its entry empty and make none. Remove R3 (the re-check) and a record committed
// between the receiver's last look and R1 sleeps until the safety net.
struct alignas(64) Header {
    uint32_t magic;
    uint32_t queue_id;
    uint32_t reserved[3];
    alignas(64) int32_t sender_cpu; // the CPU the last sender ran on
    alignas(64) uint64_t tail;
    alignas(64) uint64_t head;
    int32_t last_pid;
    alignas(64) int32_t sleepers[kSleeperSlots];
};
static_assert(sizeof(Header) == 320 && offsetof(Header, sleepers) == 256);

// A ring as one process sees it. Passed by reference on the message path: a view copied as
// it is made (three words, through memory) stalls the load that reads it back.
struct View {
    Header *header = nullptr;
    uint64_t *slots = nullptr;      // capacity words
    uint32_t capacity = 0;          // this process's own, from the segment's size: never re-read
    uint32_t settle_ns = kSettleNs; // the look before a sleep (tests turn it off to sleep more)
    uint64_t safety_ns = kSafetyNs; // longest single sleep (tests lengthen it to expose a loss)
    explicit operator bool() const noexcept { return header != nullptr; }
};

// What one receiver keeps between calls: when it first found the position at head reserved
// and not committed (the repair timer), and its empty looks (see try_pop).
struct Cursor {
    uint64_t pending_pos = UINT64_MAX;
    uint64_t pending_since = 0;
    // Where the reference is published before its position is claimed (null: nowhere), so
    // that an observer reading the ring and then this word finds a record in one of them;
    // kNoRef when no record is being taken.
    uint32_t *landing = nullptr;
    uint32_t quick_looks = 0;
};

// Makes the ring empty, positions starting at first (tests start near 2^32 to cross the wrap
// of seq), and names the queue it serves. Only while nobody uses the ring.
void reset(const View &ring, uint32_t queue_id, uint64_t first = 0) noexcept;

enum class Put { done, full, damaged };
// Puts a reference in without ever blocking. full: no slot is free (a slot whose receiver
// stalled in its take is freed after kRepairNs, timed by this thread); damaged: head, tail or
// a slot hold values that no run of the protocol leaves.
Put push(const View &ring, uint32_t ref) noexcept;
// Puts refs[0..count) in, in order, with as few reservations as the free slots allow; sent
// says how many went (a prefix). done when all went, else why the rest did not (full: the
// ring had no free slot left for refs[sent]).
Put push_many(const View &ring, const uint32_t *refs, uint32_t count, uint32_t &sent) noexcept;

enum class Take { got, empty, pending, damaged };
// Takes the oldest record. pending: the position at head is reserved but not committed yet
// (*wait_ns: how long before it is skipped); empty: nothing is there. A receiver passes its
// pid for last_pid. Without wait_ns a reserved position is told from an empty ring only in
// one look of 64 (a poll stays off the senders' line), so a receiver that only polls still
// skips the position of a dead sender, at most 63 looks after the repair time.
Take try_pop(const View &ring, Cursor &cursor, int32_t pid, uint32_t &ref,
             uint64_t *wait_ns = nullptr) noexcept;

enum class Wait { got, timed_out, interrupted, removed, damaged };
// Takes the oldest record, sleeping without CPU until one comes, the monotonic clock passes
// deadline_ns (kForever: no limit), a signal handler runs (also one installed with
// SA_RESTART: the sleep always carries a time-out, and the kernel does not restart such a
// futex wait after a handler), or the ring stops serving queue_id (removed).
Wait pop_wait(const View &ring, Cursor &cursor, int32_t pid, uint32_t queue_id,
              uint64_t deadline_ns, uint32_t &ref) noexcept;

// The CPU the ring's last sender ran on, -1 when unknown: a receiver whose own CPU it is
// cannot expect an answer while it polls, since the sender would have to take the CPU back.
inline int32_t sender_cpu(const View &ring) noexcept {
    return std::atomic_ref(ring.header->sender_cpu).load(std::memory_order_relaxed);
}

// Tells the core this thread is polling (a spin-wait hint), so it yields to its sibling.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Records committed or reserved and not yet taken.
inline uint32_t depth(const View &ring) noexcept {
    const uint64_t head = std::atomic_ref(ring.header->head).load(std::memory_order_relaxed);
    const uint64_t tail = std::atomic_ref(ring.header->tail).load(std::memory_order_relaxed);
    return tail > head ? uint32_t(tail - head < ring.capacity ? tail - head : ring.capacity) : 0;
}
// Calls f(ref) for each record committed and not yet taken, oldest first. Records taken or
// put in meanwhile may be seen or missed; none that stays in the ring is missed. Every slot
// from head on is looked at, not only those below tail: a late commit may lie beyond it.
template <class F>
void for_each_record(const View &ring, F &&f) {
    const uint64_t head = std::atomic_ref(ring.header->head).load(std::memory_order_seq_cst);
    for (uint64_t pos = head; pos - head < ring.capacity; ++pos) {
        const uint64_t word =
            std::atomic_ref(ring.slots[pos & (ring.capacity - 1)]).load(std::memory_order_seq_cst);
        if (uint32_t(word) == uint32_t(pos + 1) && uint32_t(word >> 32) != kNoRef)
            f(uint32_t(word >> 32));
    }
}
// Wakes every receiver sleeping on the ring (after its queue is removed).
void wake_all(const View &ring) noexcept;
// Clears the sleeper entries of pid (a process that ended while it waited; an entry of one of
// its other threads is cleared by the next sender, at the cost of one idle wake-up). How many.
int forget_sleeper(const View &ring, int32_t pid) noexcept;
// Frees the slots of records that receivers claimed and have not freed: a receiver killed
// between the two steps would otherwise leave its slot, and so the ring, full for good. A
// receiver that was only slow still returns its record (it read it before claiming) and finds
// its slot freed. How many.
int release_taken(const View &ring) noexcept;

uint64_t now_ns() noexcept;

} // namespace pxr_impl::ring
