// Allocation front end: lazy attach, argument checks, dispatch to the locked or the lock-free
// pool, pid stamps, congestion onset messages, and the fatal path on exhaustion.
#include "pxrlib.h"

#include "env/buffer_cache.h"
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
    SysMsg *b = pxr_impl::buffer_cache_used() ? pxr_impl::cache_take(p, onset, count_empty)
                                              : pxr_impl::lockfree_take(p, onset, count_empty);
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

    if (onset != 0) {
        bool ended = false;
        if (!send_onset(p, b, &ended)) {
            if (ended) {
                *why = NoBuffer::refused;
                return nullptr;
            }
            b = take_buffer(atomic, p, size, &onset, count_empty);
            if (b == nullptr) return nullptr;
        }
    }

    *size = partition_geometry[p].param_size;
    *why = NoBuffer::none;
    return pxr_impl::msg_of(b);
}

} // namespace pxr_impl

namespace pxr_impl {

bool send_onset(int p, SysMsg *b, bool *ended) noexcept {
    PartitionHeader *h = partition_hdr[p];
    pxr_impl::shared(h->cong_status).store(1);
    MSG *note = pxr_impl::msg_of(b);
    note->len = 0;
    const uint32_t sent = update_congestion(note, 1, p, int32_t(h->cong_module));
    // A failed send may have ended the environment and detached this process.
    *ended = common_ptr == nullptr;
    return sent != 0 && !*ended;
}

uint32_t allocate_many(int32_t pool_class, uint32_t *size, MSG **out, uint32_t count,
                       bool *ended) noexcept {
    *ended = false;
    // Attaching, and every refusal, is the single call's.
    if (count < 2 || common_ptr == nullptr || traffic_forbidden() || bad_pool_class(pool_class) ||
        !atomic_form() || buffer_cache_used())
        return 0;
    const int p = choose_partition(*size);
    if (p < 0) return 0;
    uint32_t got = 0;
    SysMsg *taken[kBatchTake];
    while (got < count) {
        uint32_t onset = 0;
        const uint32_t want = count - got < kBatchTake ? count - got : kBatchTake;
        uint32_t n = lockfree_take_many(p, taken, want, &onset, false);
        if (n == 0) break;
        for (uint32_t i = 0; i < n; ++i) stamp_owner(taken[i]);
        // The onset message goes in the last buffer taken; one that could not be sent is the
        // caller's, as a single allocation's would be.
        if (onset != 0 && (send_onset(p, taken[n - 1], ended) || *ended)) --n;
        for (uint32_t i = 0; i < n; ++i) out[got++] = msg_of(taken[i]);
        if (*ended) return got;
    }
    if (got != 0) *size = partition_geometry[p].param_size;
    return got;
}

uint32_t release_many(int32_t pool_class, MSG *const *msgs, uint32_t count) noexcept {
    if (count < 2 || common_ptr == nullptr || traffic_forbidden() || bad_pool_class(pool_class) ||
        !atomic_form() || buffer_cache_used() || groups.area != nullptr)
        return 0;
    uint32_t done = 0;
    SysMsg *chain[kBatchTake];
    int p = -1;
    uint32_t n = 0;
    // A chain is of one partition; a buffer the single release would refuse or report ends it.
    auto give_back = [&]() {
        const uint32_t went = n == 0 ? 0 : lockfree_release_many(p, chain, n);
        done += went;
        if (n != 0) room_made(pool_room(p));
        const bool all = went == n;
        n = 0;
        return all;
    };
    for (uint32_t i = 0; i < count; ++i) {
        const MsgSlot m = find_msg(msgs[i]);
        if (m.partition < 0 || m.slot->allocated == 0 || m.slot->partition != m.partition ||
            m.slot->index != m.index ||
            shared(m.slot->next).load(std::memory_order_relaxed) == kCachedMark)
            break;
        if ((m.partition != p || n == kBatchTake) && !give_back()) return done;
        p = m.partition;
        m.slot->relmem_pid = my_pid; // before the buffer is on the list
        chain[n++] = m.slot;
    }
    give_back();
    return done;
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

uint32_t release_checked(int32_t pool_class, const MsgSlot &m, bool to_list) noexcept {
    if (traffic_forbidden() || bad_pool_class(pool_class)) return 1;
    SysMsg *slot = m.slot;
    // The caller owns the buffer, so nobody else writes these words now. A buffer in a cache
    // (lock-free form only, whose slots are aligned) has been released already.
    if (slot->allocated == 0) return 1;
    const bool atomic = atomic_form();
    if (atomic && !to_list && shared(slot->next).load(kRelaxed) == kCachedMark) return 1;
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
    if (atomic && !to_list && buffer_cache_used() && cache_put(m.partition, slot)) {
        room_made(pool_room(m.partition));
        return 0;
    }
    // Stamped first: once on the free list the buffer may belong to another process.
    slot->relmem_pid = my_pid;
    const uint32_t rc = atomic ? lockfree_release(m.partition, slot) : semaphore_relmem(slot);
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
