// Ring queues in the environment: one shared-memory segment of its own (key
// PXR_KEY_RING_QUEUES) with a ring for every module id, made by the loader before its first
// queue. Each module that owns a queue also has a ring, tied to its entry by the System V
// queue id the entry names, so the module queue table keeps its meaning unchanged and an
// alias reaches the ring of the queue it borrows.
#pragma once

#include "pxrlib.h"

#include "env/ring.h"

#include <cstddef>
#include <cstdint>

namespace pxr_impl {

// The segment: this header, a ring header for every module id, then every ring's slots.
struct alignas(64) RingArea {
    uint32_t magic;    // kRingAreaMagic, written last when the segment is made
    uint32_t capacity; // records per ring
    int32_t common_id; // the common area the rings belong to
    uint32_t reserved;
};
inline constexpr uint32_t kRingAreaMagic = 0x52515545; // "RQUE"

inline std::size_t ring_area_bytes(uint32_t capacity) noexcept {
    return sizeof(RingArea) + sizeof(ring::Header) * PXR_MODULE_COUNT +
           sizeof(uint64_t) * std::size_t(capacity) * PXR_MODULE_COUNT;
}

// The ring of module (0..254) in a whole ring area of this capacity. The capacity is the
// caller's own (ring_area_capacity), never the area's word, which any process may rewrite.
inline ring::View ring_at(RingArea *area, uint32_t capacity, uint32_t module) noexcept {
    auto *headers = reinterpret_cast<ring::Header *>(area + 1);
    auto *slots = reinterpret_cast<uint64_t *>(headers + PXR_MODULE_COUNT);
    return {headers + module, slots + std::size_t(capacity) * module, capacity};
}

// The capacity of the rings in a segment of size bytes (its size as the kernel keeps it), 0
// when the segment is not a whole ring area. Taken from the size, which no process can change
// once the segment exists, rather than from the area's capacity word.
inline uint32_t ring_area_capacity(const RingArea *area, std::size_t bytes) noexcept {
    const std::size_t fixed = ring_area_bytes(0);
    if (bytes < fixed ||
        std::atomic_ref(const_cast<uint32_t &>(area->magic)).load() != kRingAreaMagic)
        return 0;
    const std::size_t capacity = (bytes - fixed) / (sizeof(uint64_t) * PXR_MODULE_COUNT);
    return capacity <= ring::kMaxCapacity && ring::valid_capacity(uint32_t(capacity)) &&
                   ring_area_bytes(uint32_t(capacity)) == bytes
               ? uint32_t(capacity)
               : 0;
}

// The ring that serves the queue id msqid, as named by module's entry (an own queue or an
// alias); an empty view when the environment has no rings or no ring serves that queue.
ring::View ring_of_queue(uint32_t module, uint32_t msqid) noexcept;
// IPC_create gave module the queue msqid: its ring now serves it, emptied when fresh is set
// (a queue made anew), else kept as it was (a queue opened with its records).
void ring_adopt(uint32_t module, uint32_t msqid, bool fresh) noexcept;
// IPC_delete removes the queue msqid that module's entry names (its own, or the one it borrows):
// the ring serving it stops serving it and its sleepers wake.
void ring_drop(uint32_t module, uint32_t msqid) noexcept;
// A send through a ring: 0, EAGAIN when it is full, EUCLEAN when it is damaged (reported).
int ring_put(const ring::View &ring, uint32_t ref) noexcept;
// A batch through a ring: refs[0..sent) went, in order; the result is ring_put's for the rest.
int ring_put_many(const ring::View &ring, const uint32_t *refs, uint32_t count,
                  uint32_t &sent) noexcept;
// Says on standard error, once per queue a ring serves in each process, that it is damaged.
void report_ring_damage(const ring::View &ring) noexcept;
// A process of the environment ended (pid): its sleeper entries are cleared and the slots of
// records that receivers took but did not free are freed, in every ring that serves a queue.
void ring_after_death(int32_t pid) noexcept;
// PXR_close: detaches the rings and removes their segment.
void close_rings() noexcept;
// PXR_unlink and every other detach: the segment is unmapped, the next attach looks again.
void unmap_rings() noexcept;

} // namespace pxr_impl
