// The index free list of the lock-free pool; its words, invariants and orderings are described
// in lfpool.h.
#include "env/lfpool.h"

#include <atomic>
#include <vector>

namespace pxr::lf {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

inline std::atomic_ref<uint32_t> word(uint32_t &w) noexcept {
    return std::atomic_ref<uint32_t>(w);
}

// The word a buffer is listed under, from its current removal count. The index is the slot's
// position, not its (shared, damageable) index field.
inline uint32_t tag_of(const List &list, uint32_t index) noexcept {
    return list_word(word(list.slot(index)->getmem_count).load(), index);
}

inline Damage damage_at(const char *name, uint32_t slot, uint32_t value) noexcept {
    return Damage{name, slot, value};
}

} // namespace

void set_fresh_ends(const List &list) noexcept {
    list.header->free_head = tag_of(list, 0);
    list.header->free_tail = tag_of(list, list.count - 2);
}

Taken take(const List &list) noexcept {
    auto head = word(list.header->free_head);
    auto tail = word(list.header->free_tail);
    for (uint32_t tries = 0; tries < kRetryLimit; ++tries) {
        uint32_t hw = head.load();
        const uint32_t tw = tail.load();
        const uint32_t first = word_index(hw);
        if (first >= list.count)
            return {nullptr, Outcome::damaged, damage_at("free_head", kNone, hw)};
        SysMsg *b = list.slot(first);
        const uint32_t nx = word(b->next).load();
        // Without this the reads may mix two states of the list: nx may then belong to a
        // buffer that has been taken (and released) since.
        if (head.load() != hw) continue;
        if (tw == hw) {
            if (nx == kNone) return {nullptr, Outcome::last_one, {}};
            if (nx >= list.count) return {nullptr, Outcome::damaged, damage_at("next", first, nx)};
            // The tail lags behind the head buffer: move it on before taking anything.
            uint32_t expected = tw;
            tail.compare_exchange_strong(expected, tag_of(list, nx));
            continue;
        }
        if (nx == kNone) return {nullptr, Outcome::inconsistent, {}};
        if (nx >= list.count) return {nullptr, Outcome::damaged, damage_at("next", first, nx)};
        if (head.compare_exchange_strong(hw, tag_of(list, nx))) {
            // Only the new owner writes these now.
            auto count = word(b->getmem_count);
            count.store(count.load(kRelaxed) + 1, kRelaxed);
            word(b->allocated).store(1, kRelaxed);
            return {b, Outcome::done, {}};
        }
    }
    return {nullptr, Outcome::damaged, damage_at("free_tail", kNone, tail.load())};
}

Outcome put(const List &list, SysMsg *slot, Damage &damage) noexcept {
    word(slot->allocated).store(0, kRelaxed);
    word(slot->next).store(kNone, kRelaxed);
    const uint32_t own = word_index(slot->index);
    // Our own removal count is stable until the buffer is on the list again.
    const uint32_t own_word = tag_of(list, own);

    auto tail = word(list.header->free_tail);
    for (uint32_t tries = 0; tries < kRetryLimit; ++tries) {
        uint32_t tw = tail.load();
        const uint32_t last_index = word_index(tw);
        if (last_index >= list.count) {
            damage = damage_at("free_tail", kNone, tw);
            break;
        }
        auto last_next = word(list.slot(last_index)->next);
        uint32_t nx = last_next.load();
        if (tail.load() != tw) continue;
        if (nx != kNone) {
            if (nx >= list.count) {
                damage = damage_at("next", last_index, nx);
                break;
            }
            // The tail lags: move it on and look again.
            uint32_t expected = tw;
            tail.compare_exchange_strong(expected, tag_of(list, nx));
            continue;
        }
        if (last_next.compare_exchange_strong(nx, own)) {
            // Failure means another process has already moved the tail on.
            tail.compare_exchange_strong(tw, own_word);
            return Outcome::done;
        }
    }
    if (damage.word == nullptr) damage = damage_at("free_tail", kNone, tail.load());
    // Not linked: the caller still owns the buffer.
    word(slot->allocated).store(1, kRelaxed);
    return Outcome::damaged;
}

Repair repair(const List &list) noexcept {
    Repair r;
    PartitionHeader *h = list.header;
    std::vector<uint8_t> listed(list.count, 0);
    uint32_t last = word_index(h->free_head);
    for (uint32_t i = last, steps = 0;; ++steps) {
        if (i >= list.count || listed[i] != 0 || steps == list.count) {
            r.damaged = true;
            return r;
        }
        listed[i] = 1;
        last = i;
        i = list.slot(i)->next;
        if (i == kNone) break;
    }
    for (uint32_t i = 0; i < list.count; ++i) {
        SysMsg *s = list.slot(i);
        if (listed[i] != 0 || s->allocated != 0) continue;
        s->next = kNone;
        list.slot(last)->next = i;
        last = i;
        ++r.relinked;
    }
    const uint32_t head_word = tag_of(list, word_index(h->free_head));
    const uint32_t tail_word = tag_of(list, last);
    if (h->free_tail != tail_word) r.tail_moved = 1;
    word(h->free_head).store(head_word);
    word(h->free_tail).store(tail_word);
    return r;
}

} // namespace pxr::lf
