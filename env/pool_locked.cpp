// The locked buffer pool: a first-in first-out free list of plain indices, changed only while
// the partition's lock semaphore is held. Also builds the congestion messages for both pools.
#include "pxrlib.h"

#include "env/pools.h"

/// Returns 1, writing nothing, when msg is not the MSG of a buffer of a partition attached here.
uint32_t update_congestion(MSG *msg, int32_t status, int32_t partition, int32_t module) noexcept {
    if (pxr_impl::find_msg(msg).partition < 0) return 1;
    msg->type = 1;
    msg->id = uint16_t(partition);
    msg->src = 0;
    msg->dst = uint8_t(module & 0xFF);
    msg->status = uint8_t(status);
    msg->len = 0;
    return PXR_send(uint32_t(module) & 0xFF, msg) == 0 ? 0 : 1;
}

SysMsg *semaphore_getmem(uint32_t *size, uint32_t *onset_flag) noexcept {
    return pxr_impl::locked_take(size, onset_flag, true);
}

SysMsg *pxr_impl::locked_take(uint32_t *size, uint32_t *onset_flag, bool count_empty) noexcept {
    const int p = pxr_impl::choose_partition(*size);
    if (p < 0) return nullptr;
    PartitionHeader *h = partition_hdr[p];
    const int lock = partition_lock_id[p];
    if (_grab_semaphore(lock) != 0) return nullptr;

    SysMsg *b = nullptr;
    const uint32_t first = h->free_head;
    bool damaged = false;
    if (first == PXR_NO_INDEX) {
        if (count_empty) ++h->out_of_msg;
    } else if (first >= uint32_t(partition_geometry[p].num_msgs)) {
        damaged = true; // not followed: reported once the lock is given back
    } else {
        b = pxr_impl::slot_at(p, h->free_head);
        h->free_head = b->next;
        b->next = PXR_NO_INDEX;
        pxr_impl::stamp_owner(b);
        // Marked after the stamps (a builtin: the word may be unaligned).
        __atomic_store_n(&b->allocated, 1u, __ATOMIC_RELEASE);
        const uint32_t n = ++h->alloc_count;
        if (n > h->max_alloc) h->max_alloc = n;
        if (n > h->max_alloc_reset) {
            h->max_alloc_reset = n;
            PLAT_timestamp(&h->max_alloc_time);
        }
        if (n == h->cong_onset && h->cong_status == 0) {
            ++h->cong_count;
            ++h->cong_count_reset;
            PLAT_timestamp(&h->cong_onset_time);
            h->cong_status = 1;
            *onset_flag = 1;
        }
    }

    // A failed release has detached the process; the header is then out of reach.
    if (_release_semaphore(lock) != 0) return nullptr;
    if (damaged) pxr_impl::report_damage(p, pxr_impl::lf::Damage{"free_head", PXR_NO_INDEX, first});
    if (b != nullptr) *size = h->param_size;
    return b;
}

uint32_t semaphore_relmem(SysMsg *slot) noexcept {
    const int p = slot->partition;
    if (p < 0 || p >= pxr_impl::kPartitions || partition_hdr[p] == nullptr) return 1;
    PartitionHeader *h = partition_hdr[p];
    const int lock = partition_lock_id[p];
    if (_grab_semaphore(lock) != 0) return 1;

    const uint32_t last = h->free_tail;
    const bool damaged =
        h->free_head != PXR_NO_INDEX && last >= uint32_t(partition_geometry[p].num_msgs);
    if (damaged) {
        // The tail names no buffer: the buffer stays allocated to the caller.
    } else if (h->alloc_count != 0) {
        bool consumed = false;
        if (h->alloc_count == h->cong_abate && h->cong_status == 1) {
            h->cong_status = 0;
            consumed =
                update_congestion(pxr_impl::msg_of(slot), 0, p, int32_t(h->cong_module)) == 0;
            // A failed send may have ended the environment and detached this process.
            if (partition_hdr[p] != h) return 1;
        }
        if (!consumed) {
            slot->next = PXR_NO_INDEX;
            slot->allocated = 0;
            if (h->free_head == PXR_NO_INDEX) {
                h->free_head = slot->index;
                h->free_tail = slot->index;
            } else {
                pxr_impl::slot_at(p, last)->next = slot->index;
                h->free_tail = slot->index;
            }
            --h->alloc_count;
        }
    }

    if (_release_semaphore(lock) != 0) return 1;
    if (!damaged) return 0;
    pxr_impl::report_damage(p, pxr_impl::lf::Damage{"free_tail", PXR_NO_INDEX, last});
    return 1;
}
