// The environment's ring queues: making their segment, mapping it in each process, finding
// the ring of a queue, and removing it all again.
#include "pxrlib.h"

#include "env/pxr_internal.h"
#include "env/ring_queues.h"

#include <sys/shm.h>

namespace {

using pxr_impl::RingArea;
using pxr_impl::ring::View;

// This process's view of the segment, found once per attachment to a common area.
struct Mapping {
    bool known = false;                 // looked for since the attachment below
    const CommonArea *common = nullptr; // the attachment it was looked for in
    int32_t common_id = -1;
    RingArea *area = nullptr; // null: the environment has no rings
    int32_t id = -1;
};
Mapping mapping;

void unmap() {
    if (mapping.area != nullptr) shmdt(mapping.area);
    mapping = Mapping{};
}

// Maps the segment if it belongs to the common area this process is attached to.
void look_for_rings() {
    unmap();
    mapping.known = true;
    mapping.common = common_ptr;
    mapping.common_id = pxr_common_id;
    const int id = shmget(PXR_KEY_RING_QUEUES, 0, 0);
    if (id < 0 || !pxr_impl::trusted_shm(id, PXR_KEY_RING_QUEUES)) return;
    void *address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) return;
    auto *area = static_cast<RingArea *>(address);
    shmid_ds ds{};
    const bool whole =
        shmctl(id, IPC_STAT, &ds) == 0 && pxr_impl::whole_ring_area(area, ds.shm_segsz);
    if (!whole || area->common_id != pxr_common_id) {
        shmdt(address); // an earlier run's segment, or not ours to use
        return;
    }
    mapping.area = area;
    mapping.id = id;
}

RingArea *rings() {
    if (!mapping.known || mapping.common != common_ptr || mapping.common_id != pxr_common_id)
        [[unlikely]]
        look_for_rings();
    return mapping.area;
}

uint32_t served(View v) {
    return pxr_impl::shared(v.header->queue_id).load(std::memory_order_acquire);
}

// The module whose ring serves the queue id msqid named by module's entry, PXR_MODULE_COUNT
// when none does. An own queue is served by the module's ring; an alias by the ring of the
// module it borrows from, which a chain of aliases reaches in a few steps, else by search.
uint32_t serving_module(RingArea *area, uint32_t module, uint32_t msqid) {
    uint32_t m = module;
    for (int step = 0; step < 4 && m < uint32_t(PXR_MODULE_COUNT); ++step) {
        if (served(pxr_impl::ring_at(area, m)) == msqid) return m;
        m = common_ptr->module_queues[m].alias_of;
    }
    for (m = 0; m < uint32_t(PXR_MODULE_COUNT); ++m)
        if (served(pxr_impl::ring_at(area, m)) == msqid) return m;
    return uint32_t(PXR_MODULE_COUNT);
}

} // namespace

namespace pxr_impl {

ring::View ring_of_queue(uint32_t module, uint32_t msqid) noexcept {
    RingArea *area = rings();
    if (area == nullptr || msqid == PXR_NO_QUEUE) return {};
    const uint32_t m = serving_module(area, module, msqid);
    // Made in place: a view copied out of a local costs a stalled load on every send.
    return m < uint32_t(PXR_MODULE_COUNT) ? pxr_impl::ring_at(area, m) : ring::View{};
}

void ring_adopt(uint32_t module, uint32_t msqid, bool fresh) noexcept {
    RingArea *area = rings();
    if (area == nullptr) return;
    const View v = pxr_impl::ring_at(area, module);
    if (fresh || shared(v.header->magic).load() == 0)
        ring::reset(v, msqid);
    else
        shared(v.header->queue_id).store(msqid);
}

void ring_drop(uint32_t module, uint32_t msqid) noexcept {
    RingArea *area = rings();
    if (area == nullptr || module >= uint32_t(PXR_MODULE_COUNT)) return;
    const View v = pxr_impl::ring_at(area, module);
    uint32_t expected = msqid;
    if (shared(v.header->queue_id).compare_exchange_strong(expected, ring::kNoQueue))
        ring::wake_all(v);
}

void ring_after_death(int32_t pid) noexcept {
    RingArea *area = rings();
    if (area == nullptr) return;
    for (uint32_t m = 0; m < uint32_t(PXR_MODULE_COUNT); ++m) {
        const View v = pxr_impl::ring_at(area, m);
        if (served(v) == ring::kNoQueue) continue;
        ring::forget_sleeper(v, pid);
        ring::release_taken(v);
    }
}

void close_rings() noexcept {
    RingArea *area = rings();
    const int id = mapping.id;
    unmap();
    if (area != nullptr) shmctl(id, IPC_RMID, nullptr);
}

} // namespace pxr_impl

/// Refused (1) in a process that is not attached, once the environment runs (attachers are
/// admitted only then, so this is the creator's own window) and once a module has a queue.
/// A ring segment left by an earlier run under the key is removed first; a second call before
/// the first queue makes the rings anew with the new capacity.
int PXR_ring_queues(uint32_t capacity) noexcept {
    if (common_ptr == nullptr || !pxr_impl::ring::valid_capacity(capacity)) return 1;
    if (pxr_impl::shared(common_ptr->flags).load() & CA_RUNNING) return 1;
    for (const ModuleQueueEntry &e : common_ptr->module_queues)
        if (e.msqid != PXR_NO_QUEUE) return 1;

    unmap();
    if (const int old = shmget(PXR_KEY_RING_QUEUES, 0, 0); old >= 0) shmctl(old, IPC_RMID, nullptr);
    // Pages are only touched for modules that get a queue: no swap is reserved up front.
    const int id = shmget(PXR_KEY_RING_QUEUES, pxr_impl::ring_area_bytes(capacity),
                          pxr_impl::create_perm() | SHM_NORESERVE);
    if (id < 0) return 1;
    void *address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return 1;
    }
    auto *area = static_cast<RingArea *>(address);
    area->capacity = capacity;
    area->common_id = pxr_common_id;
    for (uint32_t m = 0; m < uint32_t(PXR_MODULE_COUNT); ++m)
        pxr_impl::shared(pxr_impl::ring_at(area, m).header->queue_id)
            .store(pxr_impl::ring::kNoQueue);
    pxr_impl::shared(area->magic).store(pxr_impl::kRingAreaMagic);
    mapping = Mapping{true, common_ptr, pxr_common_id, area, id};
    return 0;
}

int32_t PXR_ring_capacity(void) noexcept {
    if (common_ptr == nullptr) return -1;
    const RingArea *area = rings();
    return area == nullptr ? 0 : int32_t(area->capacity);
}
