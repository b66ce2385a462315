// What the allocation front end, the transport and the message helpers need from the pools:
// finding the buffer slot behind a MSG pointer, the pools' entries for a partition already
// chosen, and the report of damaged shared state. Nothing here is exported.
#pragma once

#include "env/lfpool.h"
#include "env/pxr_internal.h"

#include <cstdint>
#include <cstring>

namespace pxr_impl {

// The buffer behind a MSG pointer; partition -1 when the pointer is not the MSG of a buffer of
// a partition attached in this process.
struct MsgSlot {
    int partition = -1;
    uint32_t index = 0;
    SysMsg *slot = nullptr;
};

// A checked buffer on its way out: stamps the sender's pid and gives its queue reference.
uint32_t stamp_sent(const MsgSlot &m) noexcept;

// A range test per partition, then the slot's own index word checked by one multiplication:
// null, addresses outside both message arrays and addresses that are not at a slot's MSG offset
// are refused. Only when the index word disagrees does a division tell a damaged index word
// (the slot is returned; its caller compares the word) from a pointer between slots.
inline MsgSlot find_msg(const MSG *msg) noexcept {
    const auto addr = reinterpret_cast<std::uintptr_t>(msg);
    for (int p = 0; p < kPartitions; ++p) {
        const uint8_t *base = partition_msgarray[p];
        if (base == nullptr) continue;
        const PartitionGeometry &g = partition_geometry[p];
        // Below the first MSG the difference wraps around and fails the range test too.
        const std::uintptr_t offset =
            addr - reinterpret_cast<std::uintptr_t>(base) - PXR_SYSMSG_SIZE;
        if (offset >= std::uintptr_t(uint32_t(g.num_msgs)) * g.stride) continue;
        auto *slot = reinterpret_cast<SysMsg *>(addr - PXR_SYSMSG_SIZE);
        const uint32_t index = load_word(slot, offsetof(SysMsg, index)); // may be unaligned
        if (index < uint32_t(g.num_msgs) && index * g.stride == uint32_t(offset))
            return {p, index, slot};
        if (uint32_t(offset) % g.stride != 0) return {};
        return {p, uint32_t(offset) / g.stride, slot};
    }
    return {};
}

// The next word of a buffer that sits in a thread's cache (buffer_cache.h): allocated, counted
// and stamped as its process's, but released by its user. No list word is ever this value.
inline constexpr uint32_t kCachedMark = 0xFFFFFFFEu;

// Whether the buffer is allocated to its user: a buffer that was released belongs to the pool
// (and perhaps already to another process) or to a thread's cache, so no send, answer or
// release may touch it.
inline bool allocated(const MsgSlot &m) noexcept {
    if (m.partition < 0 || load_word(m.slot, offsetof(SysMsg, allocated)) == 0) return false;
    // Only the lock-free form caches, and its slots are aligned: next is read as the shared word
    // it is, which an appender with an old view of the list may still compare-and-swap.
    return (common_ptr->atomic_mode & 1u) == 0 ||
           shared(m.slot->next).load(std::memory_order_relaxed) != kCachedMark;
}

// The stamps of a buffer just taken: this process owns it, nobody has sent, received or
// released it since. A reclaim must never charge a buffer half stamped to its previous, dead
// owner, however long the taker is stopped in between. The locked pool stamps before it marks
// the buffer allocated, so a reclaim sees either a free buffer or the finished stamps. The
// lock-free pool's take marks it first; its free buffers all carry a release stamp, which
// keeps a reclaim off until the release stamp is cleared here, last, after the new owner is
// written (a reclaim reads the release stamp first).
inline void stamp_owner(SysMsg *slot) noexcept {
    slot->getmem_pid = my_pid;
    slot->send_pid = 0;
    slot->receive_pid = 0;
    // A builtin, not std::atomic_ref: a locked partition's slot words may be unaligned.
    __atomic_store_n(&slot->relmem_pid, 0, __ATOMIC_RELEASE);
}

// The lock-free list of an attached partition, with this process's copy of its geometry.
inline lf::List lockfree_list(int p) noexcept {
    return lf::List{partition_hdr[p], partition_msgarray[p], partition_geometry[p].stride,
                    uint32_t(partition_geometry[p].num_msgs)};
}

// Shared state of partition p names no buffer where it should: one line on standard error
// (the first time per partition and process) naming the partition and the word, and
// PXR_sys_failure set. The operation that found it fails without following the word.
void report_damage(int p, const lf::Damage &damage) noexcept;

// The pools' takes. count_empty: an empty partition counts in its out_of_msg (a waiting
// allocation counts only its first look). The lock-free one takes from a partition the caller
// has chosen or checked.
SysMsg *lockfree_take(int p, uint32_t *onset_flag, bool count_empty = true) noexcept;
SysMsg *locked_take(uint32_t *size, uint32_t *onset_flag, bool count_empty) noexcept;
uint32_t lockfree_release(int p, SysMsg *slot) noexcept;
// The same for up to want (at least 1) buffers at once, with the counts and levels of as many
// single calls: how many were taken into out (0: none, counted as a single take's refusal);
// how many of slots[0..n) went back, in order (the rest stay allocated to the caller).
// A batch allocation leaves a take that found nothing uncounted (count_empty false): the single
// allocation that follows it counts it.
uint32_t lockfree_take_many(int p, SysMsg **out, uint32_t want, uint32_t *onset_flag,
                            bool count_empty = true) noexcept;
uint32_t lockfree_release_many(int p, SysMsg *const *slots, uint32_t n) noexcept;

// Why an allocation found no buffer: none big enough or none free (the fatal cases), or a
// refusal (bad arguments, traffic forbidden, no environment).
enum class NoBuffer { none, fatal, refused };
// The allocation behind PXR_getmem, PXR_try_getmem and PXR_timed_getmem; null with *why set
// when there is none. A failed congestion send that ended the environment is a refusal.
MSG *allocate(int32_t pool_class, uint32_t *size, NoBuffer *why, bool count_empty = true) noexcept;

// The congestion onset message in the buffer b just taken, counted as onset: true when it went
// (the caller takes another); false when the caller keeps b, or when the failed send ended the
// environment (*ended).
bool send_onset(int p, SysMsg *b, bool *ended) noexcept;

// The lock-free pool's batches (no buffer cache, no groups): up to count buffers taken or
// released with one change of the free list per kBatchTake, each as the single call would
// take, stamp, count or release it (*size becomes the parameter size when one was had). How many;
// the caller goes on one at a time from there (an allocation that found nothing, a buffer the
// single release would refuse or report).
inline constexpr uint32_t kBatchTake = 64;
// *ended: a failed onset send ended the environment, and the batch ends with it.
uint32_t allocate_many(int32_t pool_class, uint32_t *size, MSG **out, uint32_t count,
                       bool *ended) noexcept;
uint32_t release_many(int32_t pool_class, MSG *const *msgs, uint32_t count) noexcept;

// PXR_relmem after its attach and pointer checks (relm reads the class first). A reclaim's
// release (to_list) also takes a buffer out of a dead thread's cache, and never into the
// caller's.
uint32_t release_checked(int32_t pool_class, const MsgSlot &m, bool to_list = false) noexcept;

} // namespace pxr_impl
