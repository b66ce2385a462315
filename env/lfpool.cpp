// The index free list of the lock-free pool, its cold parts (take and put are inline in
// lfpool.h, which describes the words, invariants and orderings).
#include "env/lfpool.h"

#include <vector>

namespace pxr_impl::lf {

using detail::tag_of;
using detail::word;

void set_fresh_ends(const List &list) noexcept {
    list.header->free_head = tag_of(list, 0);
    list.header->free_tail = tag_of(list, list.count - 2);
}

Repair repair(const List &list) noexcept {
    Repair r;
    PartitionHeader *h = list.header;
    std::vector<uint8_t> listed(list.count, 0);
    uint32_t last = word_index(h->free_head);
    for (uint32_t i = last;;) {
        if (i >= list.count || listed[i] != 0) {
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

uint32_t take_many(const List &list, SysMsg **out, uint32_t want, Taken &why) noexcept {
    why = {};
    auto head = word(list.header->free_head);
    const auto tail = word(list.header->free_tail);
    for (uint32_t tries = 0; tries < kRetryLimit; ++tries) {
        uint32_t hw = head.load();
        const uint32_t last = word_index(tail.load());
        uint32_t at = word_index(hw);
        uint32_t n = 0;
        // While the head stands still no buffer between it and the tail changes its next: only
        // the last listed buffer's next is ever written, and the tail is at or behind it. What
        // was read is judged only once the head is seen unchanged.
        for (; n < want && at != last && at < list.count; ++n) {
            out[n] = list.slot(at);
            at = word(out[n]->next).load();
        }
        if (head.load() != hw) continue;
        if (at >= list.count && at != kNone) {
            why = {nullptr, Outcome::damaged,
                   n == 0 ? Damage{"free_head", kNone, hw}
                          : Damage{"next", word_index(out[n - 1]->index), at}};
            return 0;
        }
        // The head is the tail's buffer (the tail perhaps lagging), or the list ended before the
        // tail: one buffer at a time, as take judges it.
        if (n == 0 || at == kNone) {
            why = take(list);
            out[0] = why.slot;
            return why.slot != nullptr ? 1 : 0;
        }
        if (head.compare_exchange_strong(hw, tag_of(list, at))) {
            for (uint32_t i = 0; i < n; ++i) {
                auto count = word(out[i]->getmem_count);
                count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
                word(out[i]->allocated).store(1, std::memory_order_relaxed);
            }
            return n;
        }
    }
    why = {nullptr, Outcome::damaged, Damage{"free_head", kNone, head.load()}};
    return 0;
}

Outcome put_many(const List &list, SysMsg *const *slots, uint32_t count, Damage &damage) noexcept {
    for (uint32_t i = 0; i < count; ++i) {
        word(slots[i]->allocated).store(0, std::memory_order_relaxed);
        word(slots[i]->next)
            .store(i + 1 < count ? word_index(slots[i + 1]->index) : kNone,
                   std::memory_order_relaxed);
    }
    const uint32_t first = word_index(slots[0]->index);
    // The chain's removal counts are stable until it is on the list again.
    const uint32_t end_word = tag_of(list, word_index(slots[count - 1]->index));
    uint32_t tw = 0;
    if (!detail::link_behind_last(list, first, tw, damage)) {
        for (uint32_t i = 0; i < count; ++i)
            word(slots[i]->allocated).store(1, std::memory_order_relaxed);
        return Outcome::damaged;
    }
    // Straight to the chain's end; when someone has moved the tail meanwhile (onto the chain,
    // which they found lagging), it is moved on one buffer at a time as anyone would.
    auto tail = word(list.header->free_tail);
    if (tail.compare_exchange_strong(tw, end_word)) return Outcome::done;
    for (uint32_t i = 1; i < count; ++i) {
        tw = tail.load();
        const uint32_t at = word_index(tw);
        if (at >= list.count) break;
        const uint32_t nx = word(list.slot(at)->next).load();
        if (nx == kNone || nx >= list.count) break;
        tail.compare_exchange_strong(tw, tag_of(list, nx));
    }
    return Outcome::done;
}

} // namespace pxr_impl::lf
