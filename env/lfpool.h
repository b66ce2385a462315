// The index free list of the lock-free pool, on its own: a first-in first-out queue in the
// manner of Michael and Scott, threaded through the `next` words of the buffer slots of one
// partition. Buffers are taken at the head and appended behind the last buffer; one buffer
// always stays on the list (the queue's dummy node), so head and tail always name a buffer.
// The statistics and congestion levels that go with a take or a put are the pool's
// (pool_atomic.cpp); this unit knows only the list. It reads no per-process state, so it
// works on any block laid out as a partition (the tests run it on heap memory from threads).
//
// List words. free_head and free_tail hold tagged indices: the low 16 bits of the buffer's
// getmem_count above the low 16 bits of its index (list_word below, the one place that
// encodes them). getmem_count rises at every take, so a buffer that left and came back is
// listed under another word than the one a stalled reader holds; after 65,536 takes of the
// same buffer the word repeats (see docs/reliability.md). A slot's `next` holds a
// plain index, kNone at the end of the list.
//
// Invariants, whenever no take or put is half done:
//  - head and tail name slots below the partition's buffer count and carry their tags;
//  - the tail names the last buffer of the list or the one before it (a chain appended in one
//    go, put_many, leaves it further behind until that call moves it on);
//  - a listed buffer has allocated 0, a taken one allocated 1;
//  - the last buffer's next is kNone, and kNone appears nowhere else on the list.
//
// Who writes each word, and how (every atomic access is sequentially consistent unless said):
//  - free_head: take, by compare-and-swap from the word it read to the next buffer's word.
//    Creation writes it plainly before any other process can attach.
//  - free_tail: take and put, by compare-and-swap only, each moving it one buffer on; put's
//    final swing too is a compare-and-swap, because a plain store could move the tail back
//    onto a buffer that has been taken since. Creation as for free_head.
//  - next of the last listed buffer: put, by compare-and-swap kNone -> index, which publishes
//    the appended buffer. next of a buffer being put: its owner stores kNone (relaxed) before
//    that compare-and-swap, while no other process can reach it. next of a taken buffer keeps
//    its old value.
//  - getmem_count: raised (relaxed) by the new owner right after the head compare-and-swap;
//    read by everyone who computes a tag, always after reading a list word that names the
//    buffer, so the reader sees the count the buffer was listed under.
//  - allocated: stored (relaxed) by the owner: 1 after a take, 0 before a put.
// Every index read from a list word or a next word is checked against the buffer count before
// it is followed; a list that names no slot, or that a put cannot get to the end of, is
// reported as damaged instead of being followed.
#pragma once

#include "pxrlib.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pxr_impl::lf {

inline constexpr uint32_t kNone = 0xFFFFFFFFu;

// The list word of a buffer: its removal count's low 16 bits above its index's low 16 bits.
constexpr uint32_t list_word(uint32_t getmem_count, uint32_t index) noexcept {
    return (getmem_count << 16) | (index & 0xFFFFu);
}
constexpr uint32_t word_index(uint32_t word) noexcept {
    return word & 0xFFFFu;
}

// One partition's list: its header and slots, with the geometry the caller trusts (each process
// keeps its own copy; the shared header's copy may be damaged).
struct List {
    PartitionHeader *header;
    uint8_t *slots;
    uint32_t stride;
    uint32_t count; // buffers in the partition

    SysMsg *slot(uint32_t index) const noexcept {
        return reinterpret_cast<SysMsg *>(slots + std::size_t(index) * stride);
    }
};

enum class Outcome {
    done,
    last_one,     // take: only the buffer that always stays is left
    inconsistent, // take: the reads did not describe one state of the list (nothing counted)
    damaged,      // a word names no slot, or the list never ends: see Damage
};

// Where a damaged list showed itself: the word (a field name) of the header (slot kNone) or of
// a slot, and the value it held.
struct Damage {
    const char *word = nullptr;
    uint32_t slot = kNone;
    uint32_t value = 0;
};

struct Taken {
    SysMsg *slot = nullptr; // set when outcome is done
    Outcome outcome = Outcome::done;
    Damage damage;
};

// Operations that retry this often without getting anywhere report the list as damaged (a
// cycle behind the tail would otherwise keep them moving the tail forever). A healthy list
// under any load needs a few retries.
inline constexpr uint32_t kRetryLimit = 1u << 20;

// Head and tail of a freshly laid out partition (slot i's next is i + 1, the last's kNone):
// the head names slot 0, the tail the slot before the last, one behind, which the first take or
// put moves on. Needs at least two slots.
void set_fresh_ends(const List &list) noexcept;

// What repair found and did.
struct Repair {
    uint32_t relinked = 0;   // buffers on neither the list nor allocated, appended again
    uint32_t tail_moved = 0; // 1 when the tail word was rewritten
    bool damaged = false;    // the list itself is broken (a bad link or a cycle): nothing done
};

// Repairs what a process killed inside take or put leaves on a QUIESCENT list (no process takes
// or puts while it runs): buffers marked free but not reachable are appended, and head and
// tail words are re-tagged and the tail set to the last buffer. Buffers marked allocated are
// left alone (their owner may live). The caller fixes the allocation counter.
Repair repair(const List &list) noexcept;

namespace detail {
inline std::atomic_ref<uint32_t> word(uint32_t &w) noexcept {
    return std::atomic_ref<uint32_t>(w);
}
// The word a buffer is listed under, from its current removal count. The index is the slot's
// position, not its (shared, damageable) index field.
inline uint32_t tag_of(const List &list, uint32_t index) noexcept {
    return list_word(word(list.slot(index)->getmem_count).load(), index);
}
} // namespace detail

// Take and put are defined here, inline, because they are the hot path of every allocation
// and release (a call each way costs a visible part of the pair's 40 ns).

// Takes the head buffer: marks it allocated and raises its getmem_count.
inline Taken take(const List &list) noexcept {
    auto head = detail::word(list.header->free_head);
    auto tail = detail::word(list.header->free_tail);
    for (uint32_t tries = 0; tries < kRetryLimit; ++tries) {
        uint32_t hw = head.load();
        const uint32_t tw = tail.load();
        const uint32_t first = word_index(hw);
        if (first >= list.count) return {nullptr, Outcome::damaged, Damage{"free_head", kNone, hw}};
        SysMsg *b = list.slot(first);
        const uint32_t nx = detail::word(b->next).load();
        // Without this the reads may mix two states of the list: nx may then belong to a
        // buffer that has been taken (and released) since.
        if (head.load() != hw) continue;
        if (tw == hw) {
            if (nx == kNone) return {nullptr, Outcome::last_one, {}};
            if (nx >= list.count) return {nullptr, Outcome::damaged, Damage{"next", first, nx}};
            // The tail lags behind the head buffer: move it on before taking anything.
            uint32_t expected = tw;
            tail.compare_exchange_strong(expected, detail::tag_of(list, nx));
            continue;
        }
        if (nx == kNone) return {nullptr, Outcome::inconsistent, {}};
        if (nx >= list.count) return {nullptr, Outcome::damaged, Damage{"next", first, nx}};
        if (head.compare_exchange_strong(hw, detail::tag_of(list, nx))) {
            // Only the new owner writes these now.
            auto count = detail::word(b->getmem_count);
            count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            detail::word(b->allocated).store(1, std::memory_order_relaxed);
            return {b, Outcome::done, {}};
        }
    }
    return {nullptr, Outcome::damaged, Damage{"free_tail", kNone, tail.load()}};
}

namespace detail {
// Links the buffer at index own, whose own next is already set, behind the last listed buffer.
// True with the tail word found there; false with damage set.
inline bool link_behind_last(const List &list, uint32_t own, uint32_t &tw,
                             Damage &damage) noexcept {
    auto tail = word(list.header->free_tail);
    for (uint32_t tries = 0; tries < kRetryLimit; ++tries) {
        tw = tail.load();
        const uint32_t last_index = word_index(tw);
        if (last_index >= list.count) {
            damage = Damage{"free_tail", kNone, tw};
            return false;
        }
        auto last_next = word(list.slot(last_index)->next);
        uint32_t nx = last_next.load();
        if (tail.load() != tw) continue;
        if (nx != kNone) {
            if (nx >= list.count) {
                damage = Damage{"next", last_index, nx};
                return false;
            }
            // The tail lags: move it on and look again.
            uint32_t expected = tw;
            tail.compare_exchange_strong(expected, tag_of(list, nx));
            continue;
        }
        if (last_next.compare_exchange_strong(nx, own)) return true;
    }
    damage = Damage{"free_tail", kNone, tail.load()};
    return false;
}
} // namespace detail

// Appends a buffer its caller owns: marks it free, links it behind the last buffer and swings
// the tail to it. done or damaged; on damage the buffer is left allocated and unlinked.
inline Outcome put(const List &list, SysMsg *slot, Damage &damage) noexcept {
    detail::word(slot->allocated).store(0, std::memory_order_relaxed);
    detail::word(slot->next).store(kNone, std::memory_order_relaxed);
    const uint32_t own = word_index(slot->index);
    // Our own removal count is stable until the buffer is on the list again.
    const uint32_t own_word = detail::tag_of(list, own);
    uint32_t tw = 0;
    if (detail::link_behind_last(list, own, tw, damage)) {
        // Failure means another process has already moved the tail on.
        detail::word(list.header->free_tail).compare_exchange_strong(tw, own_word);
        return Outcome::done;
    }
    // Not linked: the caller still owns the buffer.
    detail::word(slot->allocated).store(1, std::memory_order_relaxed);
    return Outcome::damaged;
}

// Takes up to want buffers from the head in one head swap, each as take marks it; how many
// went to out (0 with outcome last_one, inconsistent or damaged, as take reports them). It
// stops before the buffer the tail names, so the head never passes the tail, and takes one at
// a time through take when the head is the tail's buffer.
uint32_t take_many(const List &list, SysMsg **out, uint32_t want, Taken &why) noexcept;

// Appends count buffers its caller owns (count >= 1) as one chain: linked among themselves
// first, then published by one compare-and-swap behind the last buffer, and the tail swung to
// the chain's end. done or damaged; on damage every one of them is left allocated and unlinked.
Outcome put_many(const List &list, SysMsg *const *slots, uint32_t count, Damage &damage) noexcept;

} // namespace pxr_impl::lf
