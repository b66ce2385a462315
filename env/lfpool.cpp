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

} // namespace pxr_impl::lf
