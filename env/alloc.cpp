// Allocation front end: lazy attach, argument checks, dispatch to the locked or the lock-free
// pool, pid stamps, congestion onset messages, and the fatal path on exhaustion.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <atomic>

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

inline bool traffic_forbidden() noexcept {
    return (pxr::shared(common_ptr->flags).load(kRelaxed) & CA_NO_TRAFFIC) != 0;
}

inline bool bad_pool_class(int32_t pool_class) noexcept {
    return (pool_class & ~7) != 0;
}

inline bool atomic_form() noexcept {
    return (common_ptr->atomic_mode & 1u) != 0;
}

inline SysMsg *take_buffer(bool atomic, uint32_t *size, uint32_t *onset) noexcept {
    return atomic ? atomic_getmem(*size, onset) : semaphore_getmem(size, onset);
}

inline void stamp_owner(SysMsg *slot) noexcept {
    slot->send_pid = 0;
    slot->receive_pid = 0;
    slot->relmem_pid = 0;
    slot->getmem_pid = my_pid;
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

/// A lock failure detaches the process (PXR_sys_failure set); the fatal event is then not raised.
MSG *PXR_getmem(int32_t pool_class, uint32_t *size) noexcept {
    if (!pxr::lazy_attach(0)) return nullptr;
    if (traffic_forbidden() || bad_pool_class(pool_class)) return nullptr;

    const bool atomic = atomic_form();
    uint32_t onset = 0;
    SysMsg *b = take_buffer(atomic, size, &onset);
    if (b == nullptr) return fatal_path();
    PartitionHeader *h = partition_hdr[b->partition];

    if (onset != 0) {
        pxr::shared(h->cong_status).store(1);
        stamp_owner(b);
        MSG *note = pxr::msg_of(b);
        note->len = 0;
        const uint32_t sent = update_congestion(note, 1, b->partition, int32_t(h->cong_module));
        // A failed send may have ended the environment and detached this process.
        if (common_ptr == nullptr) return nullptr;
        if (sent == 0) {
            b = take_buffer(atomic, size, &onset);
            if (b == nullptr) return fatal_path();
        }
    }

    stamp_owner(b);
    *size = partition_geometry[b->partition].param_size;
    return pxr::msg_of(b);
}

/// A buffer that is not allocated (a second release) is refused with 1 and left untouched, so a
/// double release cannot corrupt the free list.
uint32_t PXR_relmem(int32_t pool_class, MSG *msg) noexcept {
    if (!pxr::lazy_attach(2)) return 1;
    if (traffic_forbidden() || bad_pool_class(pool_class)) return 1;

    SysMsg *slot = pxr::slot_of(msg);
    // The caller owns the buffer, so nobody else writes this word now.
    if (slot->allocated == 0) return 1;
    // Stamped first: once on the free list the buffer may belong to another process.
    slot->relmem_pid = my_pid;
    return atomic_form() ? atomic_relmem(slot) : semaphore_relmem(slot);
}

uint32_t PXR_partition_congestion(uint32_t partition) noexcept {
    if (common_ptr == nullptr || partition > 1) return PXR_NO_INDEX;
    PartitionHeader *h = partition_hdr[partition];
    if (h == nullptr) return PXR_NO_INDEX;
    return pxr::shared(h->cong_status).load(kRelaxed);
}
