// The ring protocol: put, take, the wait of a receiver and the wake-up by a sender. The
// argument for each ordering stands beside the shared words in ring.h.
#include "env/ring.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pxr_impl::ring {

namespace {

constexpr uint32_t kMagic = 0x52494e47; // "RING"
// Sleep of a receiver that found every sleeper entry taken: it is woken by nobody.
constexpr uint64_t kNapNs = 1000000;
// Wake-ups in a row that found nobody asleep before the sender looks for dead sleepers.
constexpr uint32_t kIdleWakesBeforePrune = 64;

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

std::atomic_ref<uint64_t> slot(View ring, uint64_t pos) noexcept {
    return shared(ring.slots[pos & (ring.capacity - 1)]);
}

// Not FUTEX_PRIVATE_FLAG: the word is shared between processes.
long futex_wait(uint32_t *word, uint32_t expected, uint64_t ns) noexcept {
    const timespec ts{time_t(ns / 1000000000u), long(ns % 1000000000u)};
    return syscall(SYS_futex, word, FUTEX_WAIT, expected, &ts, nullptr, 0);
}

long futex_wake(uint32_t *word, int count) noexcept {
    return syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// The record of pos is this receiver's once it has claimed pos: free the slot for the next lap.
// By compare-and-swap, for release_taken may have freed it already (the receiver was slow).
Take deliver(View ring, uint64_t pos, uint64_t word, int32_t pid, uint32_t &ref) noexcept {
    ref = ref_of(word);
    slot(ring, pos).compare_exchange_strong(word, make(pos + ring.capacity, 0), kSc);
    shared(ring.header->last_pid).store(pid, kRelaxed);
    return Take::got;
}

// No record taken: a reference published for a claim that failed is withdrawn.
Take nothing(Cursor &cursor, Take result) noexcept {
    if (cursor.landing != nullptr) shared(*cursor.landing).store(kNoRef, kRelaxed);
    return result;
}

// Entries of processes that no longer exist (killed while they slept) are cleared, so that
// senders stop paying a wake-up for them.
void prune_gone_sleepers(Header &h) noexcept {
    for (int32_t &entry : h.sleepers) {
        int32_t pid = shared(entry).load(kRelaxed);
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
            shared(entry).compare_exchange_strong(pid, 0, kSc);
    }
}

// S2 and S3 of the wake-up argument (ring.h).
void wake_one(Header &h) noexcept {
    bool anyone = false;
    for (int32_t &entry : h.sleepers) anyone = anyone || shared(entry).load(kSc) != 0;
    if (!anyone) return;
    shared(h.wake_seq).fetch_add(1, kSc);
    if (futex_wake(&h.wake_seq, 1) > 0) {
        shared(h.idle_wakes).store(0, kRelaxed);
    } else if (shared(h.idle_wakes).fetch_add(1, kRelaxed) + 1 >= kIdleWakesBeforePrune) {
        shared(h.idle_wakes).store(0, kRelaxed);
        prune_gone_sleepers(h);
    }
}

// R1: an entry of its own for the receiver, or -1 when all are taken.
int register_sleeper(Header &h, int32_t pid) noexcept {
    for (int i = 0; i < kSleeperSlots; ++i) {
        int32_t none = 0;
        if (shared(h.sleepers[i]).compare_exchange_strong(none, pid, kSc)) return i;
    }
    return -1;
}

void unregister_sleeper(Header &h, int entry, int32_t pid) noexcept {
    if (entry < 0) return;
    // A sender may have cleared the entry meanwhile (it took the pid for gone): leave it then.
    int32_t mine = pid;
    shared(h.sleepers[entry]).compare_exchange_strong(mine, 0, kSc);
}

} // namespace

uint64_t now_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

void reset(View ring, uint32_t queue_id, uint64_t first) noexcept {
    Header &h = *ring.header;
    for (uint64_t pos = first; pos < first + ring.capacity; ++pos)
        slot(ring, pos).store(make(pos, 0), kRelaxed);
    shared(h.tail).store(first, kRelaxed);
    shared(h.head).store(first, kRelaxed);
    shared(h.last_pid).store(0, kRelaxed);
    shared(h.sender_cpu).store(-1, kRelaxed);
    for (int32_t &entry : h.sleepers) shared(entry).store(0, kRelaxed);
    shared(h.idle_wakes).store(0, kRelaxed);
    shared(h.safety_ns).store(kSafetyNs, kRelaxed);
    shared(h.magic).store(kMagic, kRelaxed);
    shared(h.queue_id).store(queue_id, kSc);
}

bool push(View ring, uint32_t ref) noexcept {
    std::atomic_ref<uint64_t> tail = shared(ring.header->tail);
    for (;;) {
        // Reserve a position: its slot must be free for exactly this lap.
        uint64_t pos = tail.load(kRelaxed);
        for (;;) {
            const auto d = int32_t(seq_of(slot(ring, pos).load(kSc)) - uint32_t(pos));
            if (d == 0) {
                if (tail.compare_exchange_weak(pos, pos + 1, kRelaxed)) break;
            } else if (d < 0) {
                // The slot still holds the record of the previous lap: full, unless another
                // sender moved tail on meanwhile.
                const uint64_t now = tail.load(kRelaxed);
                if (now == pos) return false;
                pos = now;
            } else {
                pos = tail.load(kRelaxed); // another sender took pos
            }
        }
        // S1: commit seq and reference in one step. It fails only when a receiver took this
        // sender for dead and skipped the position: the record goes in again.
        uint64_t free_word = make(pos, 0);
        if (slot(ring, pos).compare_exchange_strong(free_word, make(pos + 1, ref), kSc)) break;
    }
    shared(ring.header->sender_cpu).store(sched_getcpu(), kRelaxed);
    wake_one(*ring.header);
    return true;
}

Take try_pop(View ring, Cursor &cursor, int32_t pid, uint32_t &ref, uint64_t *wait_ns) noexcept {
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
            if (head.compare_exchange_weak(pos, pos + 1, std::memory_order_release, kRelaxed))
                return deliver(ring, pos, word, pid, ref);
            continue;
        }
        const uint64_t now_head = head.load(kRelaxed);
        if (now_head != pos) {
            pos = now_head; // another receiver was quicker
            continue;
        }
        // Not committed. Empty, or the previous lap's record not yet freed by its receiver,
        // unless the position is reserved: seq == pos with tail beyond it.
        if (seq_of(word) != uint32_t(pos) || shared(ring.header->tail).load(kRelaxed) == pos)
            return nothing(cursor, Take::empty);
        const uint64_t now = now_ns();
        if (cursor.pending_pos != pos) {
            cursor.pending_pos = pos;
            cursor.pending_since = now;
        }
        if (now - cursor.pending_since < kRepairNs) {
            if (wait_ns != nullptr) *wait_ns = kRepairNs - (now - cursor.pending_since);
            return nothing(cursor, Take::pending);
        }
        // Its sender has stalled past the repair time: claim the position, then skip it
        // unless the record was committed in between (it is then ours).
        if (!head.compare_exchange_strong(pos, pos + 1, kRelaxed)) continue;
        cursor.pending_pos = UINT64_MAX;
        // Committed and then freed by a release_taken in between, which took this receiver for
        // a dead one: that record is lost (the loader's reclaim would have to run within the
        // few instructions of this window), and the position is skipped all the same.
        uint64_t seen = make(pos, 0);
        if (!slot(ring, pos).compare_exchange_strong(seen, make(pos + ring.capacity, 0), kSc) &&
            seq_of(seen) == uint32_t(pos + 1)) {
            if (cursor.landing != nullptr) shared(*cursor.landing).store(ref_of(seen), kSc);
            return deliver(ring, pos, seen, pid, ref);
        }
        ++pos;
    }
}

Wait pop_wait(View ring, Cursor &cursor, int32_t pid, uint32_t queue_id, uint64_t deadline_ns,
              uint32_t &ref) noexcept {
    Header &h = *ring.header;
    for (;;) {
        // The records of a removed queue go with it, as the kernel's queue takes its own.
        if (shared(h.queue_id).load(kSc) != queue_id) return Wait::removed;
        const uint64_t safety_ns = shared(h.safety_ns).load(kRelaxed);
        uint64_t wait = safety_ns;
        if (try_pop(ring, cursor, pid, ref, &wait) == Take::got) return Wait::got;
        const uint64_t now = now_ns();
        if (now >= deadline_ns) return Wait::timed_out;
        wait = std::min(wait, deadline_ns - now);

        const int entry = register_sleeper(h, pid); // R1
        if (entry < 0) wait = std::min(wait, kNapNs);
        const uint32_t seen = shared(h.wake_seq).load(kSc); // R2
        // R3, the re-check: a record committed before R1 was registered has no wake-up.
        if (try_pop(ring, cursor, pid, ref) == Take::got) {
            unregister_sleeper(h, entry, pid);
            return Wait::got;
        }
        // A removal (queue_id first, then wake_seq) seen by neither look ends the wait below.
        if (shared(h.queue_id).load(kSc) != queue_id) {
            unregister_sleeper(h, entry, pid);
            return Wait::removed;
        }
        const long rc = futex_wait(&h.wake_seq, seen, wait); // R4
        const int err = errno;
        unregister_sleeper(h, entry, pid);
        if (rc != 0 && err == EINTR) return Wait::interrupted;
    }
}

void wake_all(View ring) noexcept {
    shared(ring.header->wake_seq).fetch_add(1, kSc);
    futex_wake(&ring.header->wake_seq, INT_MAX);
}

int release_taken(View ring) noexcept {
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

int forget_sleeper(View ring, int32_t pid) noexcept {
    int cleared = 0;
    for (int32_t &entry : ring.header->sleepers) {
        int32_t seen = pid;
        if (pid > 0 && shared(entry).compare_exchange_strong(seen, 0, kSc)) ++cleared;
    }
    return cleared;
}

} // namespace pxr_impl::ring
