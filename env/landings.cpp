// Receive landings: where a receiving thread's queue record arrives, in the extension segment.
//
// A buffer travels sender -> queue -> receiver, and the receiver stamps it received only after
// the record has left the queue. Without a landing the record lives on the receiver's stack in
// between, where no other process can see it, and a reclaim could only guess (a second look
// some milliseconds later) whether a receiver had it. With one, the record is always somewhere
// a reclaim reads:
//   kernel queue   msgrcv writes the record straight into the landing (the kernel moves it
//                  from the queue to the landing inside the call, where the process can be
//                  neither stopped nor killed); the receiver stamps the buffer, then empties
//                  the landing.
//   ring queue     the receiver writes the reference into the landing before it claims the
//                  ring position (a release compare-and-swap), stamps, then empties it.
// A reclaim reads, in this order, the queues, the landings and the stamps: a buffer that left
// its queue before the first read is in a landing at the second or stamped by the third.
//
// Who writes what in a landing: `owner` by compare-and-swap when a thread claims it; the rest
// by the kernel or the owner, and by a reclaim that returned the buffer of an ended owner.
#include "env/pxr_internal.h"

#include <atomic>
#include <cerrno>
#include <csignal>

namespace pxr_impl {

namespace {

std::atomic_ref<int64_t> mtype_of(ReceiveLanding &l) noexcept {
    return std::atomic_ref<int64_t>(l.mtype);
}

bool owner_gone(int32_t pid) noexcept {
    return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

// Empties a landing: the record fields first, so that a record landing later never pairs a
// new mtype with an old reference.
void empty(ReceiveLanding &l) noexcept {
    shared(l.ring_ref).store(PXR_NO_LANDING, std::memory_order_relaxed);
    std::atomic_ref<uint16_t>(l.index).store(0xFFFF, std::memory_order_relaxed);
    std::atomic_ref<uint16_t>(l.partition).store(0xFFFF, std::memory_order_relaxed);
    mtype_of(l).store(0, std::memory_order_release);
}

// The reference of the kernel record a landing holds, or PXR_NO_LANDING when none has landed
// (or one is being written: the fields are reset to all ones before each receive).
uint32_t kernel_ref(ReceiveLanding &l) noexcept {
    if (mtype_of(l).load(std::memory_order_acquire) == 0) return PXR_NO_LANDING;
    return buffer_ref(std::atomic_ref<uint16_t>(l.index).load(),
                      std::atomic_ref<uint16_t>(l.partition).load());
}

// The reference a landing holds, of either kind; PXR_NO_LANDING when empty.
uint32_t held_ref(ReceiveLanding &l) noexcept {
    const uint32_t ref = shared(l.ring_ref).load();
    return ref != PXR_NO_LANDING ? ref : kernel_ref(l);
}

// A landing of an ended owner whose record is spent: the buffer it names is free, or stamped
// received by that owner (a reclaim finds it by the stamp), or no buffer at all. A buffer of
// a partition not mapped here cannot be told: the landing is kept.
bool spent(ReceiveLanding &l, int32_t owner) noexcept {
    const uint32_t ref = held_ref(l);
    if (ref == PXR_NO_LANDING) return true;
    const uint32_t p = ref_partition(ref), index = ref_index(ref);
    if (p >= uint32_t(kPartitions)) return true;
    if (partition_hdr[p] == nullptr) return false;
    if (index >= uint32_t(partition_geometry[p].num_msgs)) return true;
    const SysMsg *s = slot_at(int(p), index);
    return load_word(s, offsetof(SysMsg, allocated)) == 0 ||
           int32_t(load_word(s, offsetof(SysMsg, receive_pid))) == owner;
}

struct Claimed {
    const ExtensionSegment *segment = nullptr;
    ReceiveLanding *landing = nullptr;
};
thread_local Claimed claimed;

ReceiveLanding *claim(ExtensionSegment &x) noexcept {
    for (ReceiveLanding &l : x.landings) {
        int32_t seen = shared(l.owner).load(std::memory_order_relaxed);
        // A landing of an ended process is taken only when its record is spent: a record
        // still in it is what a reclaim needs to return that process's buffer.
        const bool free = seen == 0 || (owner_gone(seen) && spent(l, seen));
        if (free && shared(l.owner).compare_exchange_strong(seen, my_pid)) {
            empty(l);
            return &l;
        }
    }
    return nullptr;
}

} // namespace

ReceiveLanding *my_landing() noexcept {
    ExtensionSegment *x = attachment.extension;
    if (x == nullptr) return nullptr;
    // A thread that found every landing taken receives on its stack from then on, rather
    // than search the table at each receive.
    if (claimed.segment == x &&
        (claimed.landing == nullptr ||
         shared(claimed.landing->owner).load(std::memory_order_relaxed) == my_pid))
        return claimed.landing;
    claimed = {x, claim(*x)};
    return claimed.landing;
}

void forget_landing() noexcept {
    claimed = {};
}

void settle_landing(ReceiveLanding *l) noexcept {
    if (l != nullptr) empty(*l);
}

int read_landings(LandedRecord *out, int capacity) noexcept {
    ExtensionSegment *x = attachment.extension;
    if (x == nullptr) return 0;
    int n = 0;
    for (ReceiveLanding &l : x->landings) {
        const int32_t owner = shared(l.owner).load();
        if (owner == 0 || n == capacity) continue;
        if (const uint32_t ref = shared(l.ring_ref).load(); ref != PXR_NO_LANDING)
            out[n++] = {owner, ref};
        if (mtype_of(l).load(std::memory_order_acquire) != 0 && n < capacity)
            out[n++] = {owner, kernel_ref(l)};
    }
    return n;
}

void release_landing(int32_t owner, uint32_t ref) noexcept {
    ExtensionSegment *x = attachment.extension;
    if (x == nullptr || owner <= 0) return;
    for (ReceiveLanding &l : x->landings) {
        if (shared(l.owner).load() != owner) continue;
        if (kernel_ref(l) == ref || shared(l.ring_ref).load() == ref) empty(l);
    }
}

} // namespace pxr_impl
