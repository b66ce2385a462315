// Allocation front end: lazy attach, argument checks, dispatch to the locked or the lock-free
// pool, pid stamps, congestion onset messages, and the fatal path on exhaustion.
#include "pxrlib.h"

#include "env/flow.h"
#include "env/groups.h"
#include "env/pools.h"

#include <atomic>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

inline bool traffic_forbidden() noexcept {
    return (pxr_impl::shared(common_ptr->flags).load(kRelaxed) & CA_NO_TRAFFIC) != 0;
}

inline bool bad_pool_class(int32_t pool_class) noexcept {
    return (pool_class & ~7) != 0;
}

inline bool atomic_form() noexcept {
    return (common_ptr->atomic_mode & 1u) != 0;
}

// Both pools choose the partition the caller chose (p, from the same size). A buffer comes
// back stamped as this process's: the locked pool stamps it inside its locked section.
inline SysMsg *take_buffer(bool atomic, int p, uint32_t *size, uint32_t *onset,
                           bool count_empty) noexcept {
    if (!atomic) return pxr_impl::locked_take(size, onset, count_empty);
    SysMsg *b = pxr_impl::lockfree_take(p, onset, count_empty);
    if (b != nullptr) pxr_impl::stamp_owner(b);
    return b;
}

// No buffer could be had. A process that a lock failure has detached cannot raise the event.
MSG *fatal_path() noexcept {
    if (common_ptr == nullptr) return nullptr;
    PXR_fatal_event(2);
    if (common_ptr != nullptr && common_ptr->fatal_action == 1) {
        common_ptr->exit_status = -2;
        PXR_terminate();
    }
    return nullptr;
}

} // namespace

namespace pxr_impl {

MSG *allocate(int32_t pool_class, uint32_t *size, NoBuffer *why, bool count_empty) noexcept {
    *why = NoBuffer::refused;
    if (size == nullptr || !pxr_impl::lazy_attach(0)) return nullptr;
    if (traffic_forbidden() || bad_pool_class(pool_class)) return nullptr;

    *why = NoBuffer::fatal;
    // The partition is known from the size alone; the slot's own partition word is not trusted.
    const int p = pxr_impl::choose_partition(*size);
    if (p < 0) return nullptr;
    const bool atomic = atomic_form();
    uint32_t onset = 0;
    SysMsg *b = take_buffer(atomic, p, size, &onset, count_empty);
    if (b == nullptr) return nullptr;
    PartitionHeader *h = partition_hdr[p];

    if (onset != 0) {
        pxr_impl::shared(h->cong_status).store(1);
        MSG *note = pxr_impl::msg_of(b);
        note->len = 0;
        const uint32_t sent = update_congestion(note, 1, p, int32_t(h->cong_module));
        // A failed send may have ended the environment and detached this process.
        if (common_ptr == nullptr) {
            *why = NoBuffer::refused;
            return nullptr;
        }
        if (sent == 0) {
            b = take_buffer(atomic, p, size, &onset, count_empty);
            if (b == nullptr) return nullptr;
        }
    }

    *size = partition_geometry[p].param_size;
    *why = NoBuffer::none;
    return pxr_impl::msg_of(b);
}

} // namespace pxr_impl

using pxr_impl::NoBuffer;

/// A lock failure detaches the process (PXR_sys_failure set); the fatal event is then not raised.
/// A null size is refused (null) before anything else.
MSG *PXR_getmem(int32_t pool_class, uint32_t *size) noexcept {
    NoBuffer why;
    MSG *msg = pxr_impl::allocate(pool_class, size, &why);
    return why == NoBuffer::fatal ? fatal_path() : msg;
}

int PXR_try_getmem(int32_t pool_class, uint32_t *size, MSG **out) noexcept {
    if (out == nullptr) return -1;
    NoBuffer why;
    *out = pxr_impl::allocate(pool_class, size, &why);
    return why == NoBuffer::none ? 0 : why == NoBuffer::fatal ? 1 : -1;
}

namespace pxr_impl {

uint32_t release_checked(int32_t pool_class, const MsgSlot &m) noexcept {
    if (traffic_forbidden() || bad_pool_class(pool_class)) return 1;
    SysMsg *slot = m.slot;
    // The caller owns the buffer, so nobody else writes this word now.
    if (slot->allocated == 0) return 1;
    // Words that disagree with the buffer's place would send it to another list.
    if (slot->partition != m.partition || slot->index != m.index) {
        report_damage(m.partition, slot->partition != m.partition
                                       ? lf::Damage{"partition", m.index, uint32_t(slot->partition)}
                                       : lf::Damage{"index", m.index, slot->index});
        return 1;
    }
    // A share of a buffer sent to a group: the buffer goes back with the last one.
    if (groups.area != nullptr) [[unlikely]]
        if (const int share = give_back_share(m, my_pid); share != 2) return uint32_t(share);
    // Stamped first: once on the free list the buffer may belong to another process.
    slot->relmem_pid = my_pid;
    const uint32_t rc =
        atomic_form() ? lockfree_release(m.partition, slot) : semaphore_relmem(slot);
    room_made(pool_room(m.partition));
    return rc;
}

void report_damage(int p, const lf::Damage &d) noexcept {
    PXR_sys_failure = 1;
    static bool reported[kPartitions];
    if (reported[p]) return;
    reported[p] = true;
    const int last = partition_geometry[p].num_msgs - 1;
    if (d.slot == lf::kNone)
        fprintf(stderr, "(%d)PXR: partition %d is damaged: %s = 0x%08x (buffers 0..%d)\n",
                int(getpid()), p, d.word, d.value, last);
    else
        fprintf(stderr,
                "(%d)PXR: partition %d is damaged: %s of buffer %u = 0x%08x (buffers 0..%d)\n",
                int(getpid()), p, d.word, d.slot, d.value, last);
}

} // namespace pxr_impl

/// Returns 1, touching nothing, when msg is not the MSG of a buffer of a partition attached here
/// (null, outside the message arrays, not at a slot's MSG offset), when the buffer is not
/// allocated (a second release, so that it cannot corrupt the free list), and when its
/// partition or index word disagrees with its place (damage, reported).
uint32_t PXR_relmem(int32_t pool_class, MSG *msg) noexcept {
    if (!pxr_impl::lazy_attach(2)) return 1;
    const pxr_impl::MsgSlot m = pxr_impl::find_msg(msg);
    if (m.partition < 0) return 1;
    return pxr_impl::release_checked(pool_class, m);
}

uint32_t PXR_partition_congestion(uint32_t partition) noexcept {
    if (common_ptr == nullptr || partition > 1) return PXR_NO_INDEX;
    PartitionHeader *h = partition_hdr[partition];
    if (h == nullptr) return PXR_NO_INDEX;
    return pxr_impl::shared(h->cong_status).load(kRelaxed);
}
