// The ring protocol: put, take, the wait of a receiver and the wake-up by a sender. The
// argument for each ordering stands beside the shared words in ring.h.
#include "env/ring.h"
#include "env/signal_gate.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pxr_impl::ring {

namespace {

constexpr uint32_t kMagic = 0x52494e47; // "RING"
// Sleep of a receiver that found every sleeper entry taken: it is woken by nobody.
constexpr uint64_t kNapNs = 1000000;
// Empty looks without wait_ns between two reads of tail (which tell a reserved position from
// an empty ring).
constexpr uint32_t kTailLookEvery = 64;

constexpr auto kSc = std::memory_order_seq_cst;
constexpr auto kRelaxed = std::memory_order_relaxed;

template <class T>
std::atomic_ref<T> shared(T &word) noexcept {
    return std::atomic_ref<T>(word);
}

constexpr uint64_t make(uint64_t seq, uint32_t ref) noexcept {
    return uint64_t(ref) << 32 | uint32_t(seq);
}
constexpr uint32_t seq_of(uint64_t word) noexcept {
    return uint32_t(word);
}
constexpr uint32_t ref_of(uint64_t word) noexcept {
    return uint32_t(word >> 32);
}

std::atomic_ref<uint64_t> slot(const View &ring, uint64_t pos) noexcept {
    return shared(ring.slots[pos & (ring.capacity - 1)]);
}

// A sleeper entry as a futex word.
uint32_t *futex_word(int32_t &entry) noexcept {
    return reinterpret_cast<uint32_t *>(&entry);
}

// The record of pos is this receiver's once it has claimed pos: free the slot for the next lap.
// By compare-and-swap, for release_taken may have freed it already (the receiver was slow).
Take deliver(const View &ring, uint64_t pos, uint64_t word, int32_t pid, uint32_t &ref) noexcept {
    ref = ref_of(word);
    slot(ring, pos).compare_exchange_strong(word, make(pos + ring.capacity, 0), kSc);
    // Written only when it changes: a receiver that keeps taking leaves the line alone.
    std::atomic_ref<int32_t> last = shared(ring.header->last_pid);
    if (last.load(kRelaxed) != pid) last.store(pid, kRelaxed);
    return Take::got;
}

// No record taken: a reference published for a claim that failed is withdrawn.
Take nothing(Cursor &cursor, Take result) noexcept {
    // Looked at first: a receiver polling an empty ring then writes nothing.
    if (cursor.landing != nullptr && shared(*cursor.landing).load(kRelaxed) != kNoRef)
        shared(*cursor.landing).store(kNoRef, kRelaxed);
    return result;
}

// S2 and S3 of the wake-up argument (ring.h), and the same for every entry when wake_all.
// A wake that found nobody in the kernel went to a receiver that had not gone to sleep yet
// (it will not) or that died asleep: the next registered receiver is woken too, so a
// record never waits behind a dead one.
void wake(Header &h, bool all) noexcept {
    for (int32_t &entry : h.sleepers) {
        if (shared(entry).load(kSc) == 0 || shared(entry).exchange(0, kSc) == 0) continue;
        if (futex_wake(futex_word(entry), INT_MAX) > 0 && !all) return;
    }
}

// The calling thread's id, the token of its sleeper entry (threads of one process each need
// an entry of their own). Cached, for a receiver finds its ring empty often and sleeps seldom;
// a child of fork forgets the value it inherited, which is its parent's.
thread_local int32_t cached_tid = 0;

int32_t thread_token() noexcept {
    static std::once_flag forget_in_child;
    if (cached_tid == 0) [[unlikely]] {
        std::call_once(forget_in_child,
                       [] { pthread_atfork(nullptr, nullptr, [] { cached_tid = 0; }); });
        cached_tid = int32_t(syscall(SYS_gettid));
    }
    return cached_tid;
}

// R1: an entry of its own for the receiving thread, or -1 when all are taken.
int register_sleeper(Header &h, int32_t tid) noexcept {
    for (int i = 0; i < kSleeperSlots; ++i) {
        int32_t none = 0;
        if (shared(h.sleepers[i]).compare_exchange_strong(none, tid, kSc)) return i;
    }
    return -1;
}

void unregister_sleeper(Header &h, int entry, int32_t tid) noexcept {
    if (entry < 0) return;
    // A sender that woke the receiver has cleared the entry already: leave it then.
    int32_t mine = tid;
    shared(h.sleepers[entry]).compare_exchange_strong(mine, 0, kSc);
}

} // namespace

uint64_t now_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

void reset(const View &ring, uint32_t queue_id, uint64_t first) noexcept {
    Header &h = *ring.header;
    for (uint64_t pos = first; pos < first + ring.capacity; ++pos)
        slot(ring, pos).store(make(pos, 0), kRelaxed);
    shared(h.tail).store(first, kRelaxed);
    shared(h.head).store(first, kRelaxed);
    shared(h.last_pid).store(0, kRelaxed);
    shared(h.sender_cpu).store(-1, kRelaxed);
    for (int32_t &entry : h.sleepers) shared(entry).store(0, kRelaxed);
    shared(h.magic).store(kMagic, kRelaxed);
    shared(h.queue_id).store(queue_id, kSc);
}

namespace {

// A sender's timer for a slot whose receiver stalled in its take: the ring and position it
// first found blocked that way, and when. Per thread, as a receiver's repair timer is per cursor.
struct StallTimer {
    const Header *ring = nullptr;
    uint64_t pos = UINT64_MAX;
    uint64_t since = 0;
};
thread_local StallTimer stalled_take;

// The slot of pos still holds the record of pos - capacity: full, unless that record was claimed
// (head is beyond it) and its receiver has not freed it for kRepairNs. Its reference is in that
// receiver's landing, so freeing the slot loses nothing; the receiver, when it goes on, finds
// the slot freed and still returns its record. True when the slot was freed (by anyone).
bool free_stalled(const View &ring, uint64_t pos, uint64_t word) noexcept {
    const uint64_t previous = pos - ring.capacity;
    if (shared(ring.header->head).load(kSc) <= previous) return false; // not claimed: full
    const uint64_t now = now_ns();
    if (stalled_take.ring != ring.header || stalled_take.pos != pos)
        stalled_take = {ring.header, pos, now};
    if (now - stalled_take.since < kRepairNs) return false;
    stalled_take = {};
    return slot(ring, pos).compare_exchange_strong(word, make(pos, 0), kSc) ||
           seq_of(word) == uint32_t(pos);
}

// The slot of pos still shows the previous lap's position reserved (seq == pos - capacity),
// but head has passed that position: a receiver claimed it to skip it (unblock) and has not
// yet marked the slot. Anyone may finish the skip, with the compare-and-swap unblock makes: a
// late commit and the skip still exclude each other, and an unblocker stopped or killed in
// between stops nobody. True when the slot is free for pos now (whoever freed it).
bool finish_skip(const View &ring, uint64_t pos) noexcept {
    const uint64_t previous = pos - ring.capacity;
    if (shared(ring.header->head).load(kSc) <= previous) return false; // reserved: wait for it
    uint64_t word = make(previous, 0);
    return slot(ring, pos).compare_exchange_strong(word, make(pos, 0), kSc) ||
           seq_of(word) != uint32_t(previous);
}

// Reserves up to want consecutive positions from tail, each with its slot free for exactly
// that lap: the first at pos, got of them (at least one when done). Relaxed: a reservation
// publishes nothing; the commit (sequentially consistent) publishes the record, and the slot's
// word, not tail, tells every other sender whether a position is free.
Put reserve(const View &ring, uint32_t want, uint64_t &pos, uint32_t &got) noexcept {
    std::atomic_ref<uint64_t> tail = shared(ring.header->tail);
    const auto cap = int32_t(ring.capacity);
    pos = tail.load(kRelaxed);
    for (;;) {
        const uint64_t word = slot(ring, pos).load(kSc);
        const auto d = int32_t(seq_of(word) - uint32_t(pos));
        if (d == 0) {
            // The slots that follow are free for their positions too, as far as they go: no
            // sender can take them before tail passes them.
            got = 1;
            while (got < want && seq_of(slot(ring, pos + got).load(kSc)) == uint32_t(pos + got))
                ++got;
            if (tail.compare_exchange_weak(pos, pos + got, kRelaxed)) return Put::done;
            continue;
        }
        // Another sender moved tail on meanwhile: try its position.
        if (const uint64_t now = tail.load(kRelaxed); now != pos) {
            pos = now;
            continue;
        }
        if (d == 1 - cap) { // the previous lap's record, not yet freed
            if (!free_stalled(ring, pos, word)) return Put::full;
        } else if (d == -cap) { // the previous lap's position, reserved and not committed
            if (!finish_skip(ring, pos)) return Put::full;
        } else if (d == 1 || d == cap) {
            // pos was committed without a reservation (the late commit of ring.h's ABA), and
            // perhaps taken already: move tail past it.
            tail.compare_exchange_strong(pos, pos + 1, kRelaxed);
            pos = tail.load(kRelaxed);
        } else {
            return Put::damaged;
        }
    }
}

// S1: commits seq and reference in one step. It fails only when a receiver took this sender
// for dead and skipped the position.
bool commit(const View &ring, uint64_t pos, uint32_t ref) noexcept {
    uint64_t free_word = make(pos, 0);
    return slot(ring, pos).compare_exchange_strong(free_word, make(pos + 1, ref), kSc);
}

// After the commits: the CPU hint, and the wake-up (of every sleeper for more than one record,
// so that each receiver waiting on the queue gets one to take).
void published(const View &ring, bool several) noexcept {
    std::atomic_ref<int32_t> cpu = shared(ring.header->sender_cpu);
    if (const int32_t here = sched_getcpu(); cpu.load(kRelaxed) != here) cpu.store(here, kRelaxed);
    wake(*ring.header, several);
}

} // namespace

Put push(const View &ring, uint32_t ref) noexcept {
    for (;;) {
        uint64_t pos = 0;
        uint32_t got = 0;
        if (const Put r = reserve(ring, 1, pos, got); r != Put::done) return r;
        if (commit(ring, pos, ref)) break; // else skipped: the record goes in again
    }
    published(ring, false);
    return Put::done;
}

Put push_many(const View &ring, const uint32_t *refs, uint32_t count, uint32_t &sent) noexcept {
    Put result = Put::done;
    sent = 0;
    while (sent < count) {
        uint64_t pos = 0;
        uint32_t got = 0;
        result = reserve(ring, count - sent, pos, got);
        if (result != Put::done) break;
        uint32_t j = 0;
        while (j < got && commit(ring, pos + j, refs[sent + j])) ++j;
        sent += j;
        // Position pos + j was skipped: refs[sent] goes in again after the others of this
        // reservation, which must not overtake it. They become holes, which receivers pass over
        // (or are skipped already).
        for (uint32_t h = j + 1; h < got; ++h) commit(ring, pos + h, kNoRef);
    }
    if (sent != 0) published(ring, sent > 1);
    return result;
}

namespace {

// The position at head is reserved and its sender has not committed it for kRepairNs: claim it
// and skip it, unless the record was committed in between (it is then this receiver's). The
// claim is relaxed: unlike a claim of a committed record it publishes no landing, and the
// compare-and-swap on the slot that follows is sequentially consistent. True when the record
// is this receiver's; false when pos was skipped, or another receiver claimed it first.
bool unblock(const View &ring, Cursor &cursor, uint64_t pos, int32_t pid, uint32_t &ref) noexcept {
    if (!shared(ring.header->head).compare_exchange_strong(pos, pos + 1, kRelaxed)) return false;
    cursor.pending_pos = UINT64_MAX;
    // Committed and then freed by a release_taken in between, which took this receiver for
    // a dead one: that record is lost (the loader's reclaim would have to run within the
    // few instructions of this window), and the position is skipped all the same.
    uint64_t seen = make(pos, 0);
    if (!slot(ring, pos).compare_exchange_strong(seen, make(pos + ring.capacity, 0), kSc) &&
        seq_of(seen) == uint32_t(pos + 1)) {
        if (cursor.landing != nullptr) shared(*cursor.landing).store(ref_of(seen), kSc);
        deliver(ring, pos, seen, pid, ref);
        return ref != kNoRef; // a hole is passed over like a skipped position
    }
    return false;
}

} // namespace

Take try_pop(const View &ring, Cursor &cursor, int32_t pid, uint32_t &ref,
             uint64_t *wait_ns) noexcept {
    std::atomic_ref<uint64_t> head = shared(ring.header->head);
    uint64_t pos = head.load(kRelaxed);
    for (;;) {
        const uint64_t word = slot(ring, pos).load(kSc);
        const auto d = int32_t(seq_of(word) - uint32_t(pos + 1));
        if (d == 0) {
            // Committed: claim it. No other receiver can then take pos, nor a sender reuse
            // the slot before it is freed, so the word read above is the record. The landing
            // is written first and the claim releases it.
            if (cursor.landing != nullptr) shared(*cursor.landing).store(ref_of(word), kRelaxed);
            if (!head.compare_exchange_weak(pos, pos + 1, std::memory_order_release, kRelaxed))
                continue;
            if (deliver(ring, pos, word, pid, ref) == Take::got && ref != kNoRef) return Take::got;
            pos = head.load(kRelaxed); // a hole: nothing to take there
            continue;
        }
        const uint64_t now_head = head.load(kRelaxed);
        if (now_head != pos) {
            pos = now_head; // another receiver was quicker
            continue;
        }
        // Not committed. Empty, or the previous lap's record not yet freed by its receiver,
        // unless the position is reserved: seq == pos with tail beyond it. tail is the
        // senders' line: a receiver that polls reads it only once in kTailLookEvery looks
        // (it would take the line from the sender at every poll), and when it asks how long
        // to wait. Any other seq is one no run of the protocol leaves at head.
        if (d == int32_t(ring.capacity) - 1) {
            // Freed for the next lap and never claimed: only the late free of ring.h's ABA
            // leaves this. The record is gone; the position is passed over.
            head.compare_exchange_strong(pos, pos + 1, kRelaxed);
            pos = head.load(kRelaxed);
            continue;
        }
        if (d == -int32_t(ring.capacity) - 1) { // a skip of the previous lap under way
            finish_skip(ring, pos);
            continue;
        }
        if (seq_of(word) != uint32_t(pos))
            return nothing(cursor, d == -int32_t(ring.capacity) ? Take::empty : Take::damaged);
        if (wait_ns == nullptr && ++cursor.quick_looks % kTailLookEvery != 0)
            return nothing(cursor, Take::empty);
        const uint64_t tail = shared(ring.header->tail).load(kSc);
        if (tail <= pos) return nothing(cursor, Take::empty);
        // Only a head that has not moved since makes tail - head a measure of the ring: other
        // receivers and senders may have gone a whole lap on since head was read.
        if (tail - pos > ring.capacity && head.load(kSc) == pos)
            return nothing(cursor, Take::damaged);
        if (head.load(kRelaxed) != pos) {
            pos = head.load(kRelaxed);
            continue;
        }
        const uint64_t now = now_ns();
        if (cursor.pending_pos != pos) {
            cursor.pending_pos = pos;
            cursor.pending_since = now;
        }
        if (now - cursor.pending_since < kRepairNs) {
            if (wait_ns != nullptr) *wait_ns = kRepairNs - (now - cursor.pending_since);
            return nothing(cursor, Take::pending);
        }
        if (unblock(ring, cursor, pos, pid, ref)) return Take::got;
        pos = head.load(kRelaxed);
    }
}

namespace {

// The look before a sleep (settle_ns), never past deadline_ns. Not while the last sender ran
// on this CPU: it could not send while this receiver looks.
bool settle(const View &ring, Cursor &cursor, int32_t pid, uint64_t deadline_ns,
            uint32_t &ref) noexcept {
    const uint32_t settle_ns = ring.settle_ns;
    if (settle_ns == 0 || sender_cpu(ring) == sched_getcpu()) return false;
    const uint64_t end = std::min(now_ns() + settle_ns, deadline_ns);
    for (unsigned polls = 1;; ++polls) {
        cpu_relax();
        if (try_pop(ring, cursor, pid, ref) == Take::got) return true;
        if (polls % 16 == 0 && now_ns() >= end) return false;
    }
}

} // namespace

Wait pop_wait(const View &ring, Cursor &cursor, int32_t pid, uint32_t queue_id,
              uint64_t deadline_ns, uint32_t &ref) noexcept {
    Header &h = *ring.header;
    SignalGate gate; // a handler that runs while the receiver is between sleeps ends the wait
    for (bool settled = false;; settled = true) {
        // The records of a removed queue go with it, as the kernel's queue takes its own.
        if (shared(h.queue_id).load(kSc) != queue_id) return Wait::removed;
        uint64_t wait = ring.safety_ns;
        const Take took = try_pop(ring, cursor, pid, ref, &wait);
        if (took == Take::got) return Wait::got;
        if (took == Take::damaged) return Wait::damaged;
        if (!settled && took == Take::empty && settle(ring, cursor, pid, deadline_ns, ref))
            return Wait::got;
        const uint64_t now = now_ns();
        if (now >= deadline_ns) return Wait::timed_out;
        wait = std::min(wait, deadline_ns - now);
        gate.close();

        const int32_t tid = thread_token();
        const int entry = register_sleeper(h, tid); // R1
        // R3, the re-check: a record committed before R1 was registered has no wake-up.
        if (try_pop(ring, cursor, pid, ref) == Take::got) {
            unregister_sleeper(h, entry, tid);
            return Wait::got;
        }
        // A removal (queue_id first, then the entries) seen by neither look ends the wait below.
        if (shared(h.queue_id).load(kSc) != queue_id) {
            unregister_sleeper(h, entry, tid);
            return Wait::removed;
        }
        // R4. Without an entry the receiver naps on a word nobody wakes.
        int32_t nap = 0;
        const Sleep slept = entry >= 0
                                ? gate.sleep(futex_word(h.sleepers[entry]), uint32_t(tid), wait)
                                : gate.sleep(futex_word(nap), 0, std::min(wait, kNapNs));
        unregister_sleeper(h, entry, tid);
        if (slept == Sleep::interrupted) {
            // A wake-up may have come with the signal: it goes on to another sleeper.
            wake(h, false);
            return Wait::interrupted;
        }
    }
}

void wake_all(const View &ring) noexcept {
    wake(*ring.header, true);
}

int release_taken(const View &ring) noexcept {
    const uint64_t head = shared(ring.header->head).load(kSc);
    int released = 0;
    for (uint64_t pos = head > ring.capacity ? head - ring.capacity : 0; pos < head; ++pos) {
        uint64_t word = slot(ring, pos).load(kSc);
        if (seq_of(word) == uint32_t(pos + 1) &&
            slot(ring, pos).compare_exchange_strong(word, make(pos + ring.capacity, 0), kSc))
            ++released;
    }
    return released;
}

int forget_sleeper(const View &ring, int32_t pid) noexcept {
    int cleared = 0;
    for (int32_t &entry : ring.header->sleepers) {
        int32_t seen = pid;
        if (pid > 0 && shared(entry).compare_exchange_strong(seen, 0, kSc)) ++cleared;
    }
    return cleared;
}

} // namespace pxr_impl::ring
