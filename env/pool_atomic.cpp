// The lock-free buffer pool: a Michael-Scott style FIFO threaded through the slots' `next`
// words. Head and tail are tagged indices (16-bit removal count of the buffer, 16-bit index)
// so that a buffer that left and came back is not mistaken for the one a stale reader saw.
// One buffer always stays on the list as the queue's dummy node, so the list is never empty.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <atomic>

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

inline uint32_t tag_of(SysMsg *b) noexcept {
    return (pxr::shared(b->getmem_count).load() << 16) | (b->index & 0xFFFFu);
}

// The slot named by the low 16 bits of a list word.
inline SysMsg *slot_of_word(int p, uint32_t word) noexcept {
    return pxr::slot_at(p, word & 0xFFFFu);
}

// Raises word to n unless it already holds n or more. True when n was above the value first
// seen.
inline bool raise_to(uint32_t &word, uint32_t n) noexcept {
    auto w = pxr::shared(word);
    uint32_t cur = w.load();
    if (n <= cur) return false;
    while (n > cur && !w.compare_exchange_weak(cur, n)) {
    }
    return true;
}

} // namespace

SysMsg *atomic_getmem(uint32_t size, uint32_t *onset_flag) noexcept {
    const int p = pxr::choose_partition(size);
    if (p < 0) return nullptr;
    PartitionHeader *h = partition_hdr[p];
    auto head = pxr::shared(h->free_head);
    auto tail = pxr::shared(h->free_tail);

    SysMsg *b;
    for (;;) {
        uint32_t hw = head.load();
        const uint32_t tw = tail.load();
        b = slot_of_word(p, hw);
        const uint32_t nx = pxr::shared(b->next).load();
        if (head.load() != hw) continue;
        if (tw == hw) {
            if (nx == PXR_NO_INDEX) {
                pxr::shared(h->out_of_msg).fetch_add(1);
                return nullptr;
            }
            uint32_t expected = tw;
            tail.compare_exchange_strong(expected, tag_of(pxr::slot_at(p, nx)));
            continue;
        }
        if (nx == PXR_NO_INDEX) return nullptr; // inconsistent snapshot; not an exhaustion
        if (head.compare_exchange_strong(hw, tag_of(pxr::slot_at(p, nx)))) break;
    }

    // Only the new owner writes these now.
    auto count = pxr::shared(b->getmem_count);
    count.store(count.load(kRelaxed) + 1, kRelaxed);
    pxr::shared(b->allocated).store(1, kRelaxed);

    const uint32_t s = pxr::shared(h->cong_status).load(kRelaxed);
    const uint32_t n = pxr::shared(h->alloc_count).fetch_add(1) + 1;
    if (n == h->cong_onset - 1 && s == 0) {
        uint32_t zero = 0;
        if (pxr::shared(*onset_flag).compare_exchange_strong(zero, 1)) {
            pxr::shared(h->cong_count).fetch_add(1);
            pxr::shared(h->cong_count_reset).fetch_add(1);
            PLAT_timestamp(&h->cong_onset_time);
        }
    }
    raise_to(h->max_alloc, n);
    if (raise_to(h->max_alloc_reset, n)) PLAT_timestamp(&h->max_alloc_time);
    return b;
}

uint32_t atomic_relmem(SysMsg *slot) noexcept {
    const int p = slot->partition;
    PartitionHeader *h = partition_hdr[p];

    const uint32_t s = pxr::shared(h->cong_status).load(kRelaxed);
    const uint32_t n = pxr::shared(h->alloc_count).fetch_sub(1) - 1;
    if (s != 0 && n == h->cong_abate) {
        uint32_t one = 1;
        if (pxr::shared(h->cong_status).compare_exchange_strong(one, 0)) {
            const uint32_t sent =
                update_congestion(pxr::msg_of(slot), 0, p, int32_t(h->cong_module));
            // A failed send may have ended the environment and detached this process.
            if (partition_hdr[p] != h) return 0;
            if (sent == 0) {
                // The buffer stays counted while the congestion module holds it.
                pxr::shared(h->alloc_count).fetch_add(1);
                return 0;
            }
        }
    }

    pxr::shared(slot->allocated).store(0, kRelaxed);
    pxr::shared(slot->next).store(PXR_NO_INDEX, kRelaxed);
    // Our own removal count is stable until the buffer is on the list again.
    const uint32_t my_tag = tag_of(slot);

    auto tail = pxr::shared(h->free_tail);
    uint32_t tw;
    for (;;) {
        tw = tail.load();
        SysMsg *last = slot_of_word(p, tw);
        auto last_next = pxr::shared(last->next);
        uint32_t nx = last_next.load();
        if (tail.load() != tw) continue;
        if (nx != PXR_NO_INDEX) {
            uint32_t expected = tw;
            tail.compare_exchange_strong(expected, tag_of(pxr::slot_at(p, nx)));
            continue;
        }
        if (last_next.compare_exchange_strong(nx, slot->index)) break;
    }
    // Failure means another process has already moved the tail on.
    tail.compare_exchange_strong(tw, my_tag);
    return 0;
}
