// The environment's ring queues: making their segment, mapping it in each process, finding
// the ring of a queue, and removing it all again.
#include "pxrlib.h"

#include "env/pxr_internal.h"
#include "env/ring_queues.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <sys/shm.h>
#include <unistd.h>

namespace {

using pxr_impl::RingArea;
using pxr_impl::ring::View;

// This process's view of the segment, found once per attachment to a common area. Threads of
// the process may make their first call at the same instant: the look is made under a lock,
// and the attachment it was made for is published last, so a thread that finds it current
// also finds the area and capacity that go with it.
struct Mapping {
    std::atomic<const CommonArea *> common{nullptr}; // the attachment looked in; null: none yet
    std::atomic<int32_t> common_id{-1};
    std::atomic<RingArea *> area{nullptr}; // null: the environment has no rings
    std::atomic<uint32_t> capacity{0};     // this process's own, from the segment's size
    int32_t id = -1;                       // under the lock
};
Mapping mapping;
std::mutex mapping_lock;

constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelease = std::memory_order_release;
constexpr auto kRelaxed = std::memory_order_relaxed;

// Under mapping_lock.
void unmap_locked() {
    mapping.common.store(nullptr, kRelease);
    mapping.common_id.store(-1, kRelaxed);
    if (RingArea *area = mapping.area.exchange(nullptr, kRelaxed); area != nullptr) shmdt(area);
    mapping.capacity.store(0, kRelaxed);
    mapping.id = -1;
}

void publish(RingArea *area, int32_t id, uint32_t capacity) {
    mapping.area.store(area, kRelaxed);
    mapping.capacity.store(capacity, kRelaxed);
    mapping.id = id;
    mapping.common_id.store(pxr_common_id, kRelaxed);
    mapping.common.store(common_ptr, kRelease);
}

// Maps the segment if it belongs to the common area this process is attached to. Under
// mapping_lock.
void look_for_rings() {
    unmap_locked();
    const int id = shmget(PXR_KEY_RING_QUEUES, 0, 0);
    shmid_ds ds{};
    void *address = reinterpret_cast<void *>(-1);
    if (id >= 0 && pxr_impl::trusted_shm(id, PXR_KEY_RING_QUEUES) && shmctl(id, IPC_STAT, &ds) == 0)
        address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) return publish(nullptr, -1, 0);
    auto *area = static_cast<RingArea *>(address);
    const uint32_t capacity = pxr_impl::ring_area_capacity(area, ds.shm_segsz);
    if (capacity == 0 || area->common_id != pxr_common_id) {
        shmdt(address); // an earlier run's segment, or not ours to use
        return publish(nullptr, -1, 0);
    }
    publish(area, id, capacity);
}

bool current() {
    return mapping.common.load(kAcquire) == common_ptr &&
           mapping.common_id.load(kRelaxed) == pxr_common_id;
}

RingArea *rings() {
    if (!current()) [[unlikely]] {
        const std::lock_guard<std::mutex> hold(mapping_lock);
        if (!current()) look_for_rings();
    }
    return mapping.area.load(kRelaxed);
}

View ring_of(RingArea *area, uint32_t module) {
    return pxr_impl::ring_at(area, mapping.capacity.load(kRelaxed), module);
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
        if (served(ring_of(area, m)) == msqid) return m;
        m = common_ptr->module_queues[m].alias_of;
    }
    for (m = 0; m < uint32_t(PXR_MODULE_COUNT); ++m)
        if (served(ring_of(area, m)) == msqid) return m;
    return uint32_t(PXR_MODULE_COUNT);
}

} // namespace

namespace pxr_impl {

ring::View ring_of_queue(uint32_t module, uint32_t msqid) noexcept {
    RingArea *area = rings();
    if (area == nullptr || msqid == PXR_NO_QUEUE) return {};
    const uint32_t m = serving_module(area, module, msqid);
    // Made in place: a view copied out of a local costs a stalled load on every send.
    return m < uint32_t(PXR_MODULE_COUNT) ? ring_of(area, m) : ring::View{};
}

void ring_adopt(uint32_t module, uint32_t msqid, bool fresh) noexcept {
    RingArea *area = rings();
    if (area == nullptr) return;
    const View v = ring_of(area, module);
    if (fresh || shared(v.header->magic).load() == 0)
        ring::reset(v, msqid);
    else
        shared(v.header->queue_id).store(msqid);
}

void ring_drop(uint32_t module, uint32_t msqid) noexcept {
    const View v = module < uint32_t(PXR_MODULE_COUNT) ? ring_of_queue(module, msqid) : View{};
    uint32_t expected = msqid;
    if (v && shared(v.header->queue_id).compare_exchange_strong(expected, ring::kNoQueue))
        ring::wake_all(v);
}

namespace {

// A ring's answer as a send's errno: 0 done, EAGAIN full, EUCLEAN damaged (reported).
int put_result(const ring::View &ring, ring::Put put) noexcept {
    switch (put) {
    case ring::Put::done:
        return 0;
    case ring::Put::full:
        return EAGAIN;
    case ring::Put::damaged:
        break;
    }
    report_ring_damage(ring);
    return EUCLEAN;
}

} // namespace

int ring_put(const ring::View &ring, uint32_t ref) noexcept {
    return put_result(ring, ring::push(ring, ref));
}

int ring_put_many(const ring::View &ring, const uint32_t *refs, uint32_t count,
                  uint32_t &sent) noexcept {
    return put_result(ring, ring::push_many(ring, refs, count, sent));
}

void report_ring_damage(const ring::View &ring) noexcept {
    RingArea *area = rings();
    if (area == nullptr) return;
    const auto module = uint32_t(ring.header - ring_of(area, 0).header);
    // Once per queue the ring serves: the queue id (+ 1) said last for each module's ring.
    static std::atomic<uint32_t> reported[PXR_MODULE_COUNT];
    const uint32_t said = served(ring) + 1;
    if (module >= uint32_t(PXR_MODULE_COUNT) || reported[module].exchange(said) == said) return;
    fprintf(stderr,
            "(%d)PXR: the ring of module %u is damaged: head %llu, tail %llu (capacity %u); "
            "its queue is refused until it is made again\n",
            int(getpid()), module,
            static_cast<unsigned long long>(std::atomic_ref(ring.header->head).load()),
            static_cast<unsigned long long>(std::atomic_ref(ring.header->tail).load()),
            ring.capacity);
}

void ring_after_death(int32_t pid) noexcept {
    RingArea *area = rings();
    if (area == nullptr) return;
    for (uint32_t m = 0; m < uint32_t(PXR_MODULE_COUNT); ++m) {
        const View v = ring_of(area, m);
        if (served(v) == ring::kNoQueue) continue;
        ring::forget_sleeper(v, pid);
        ring::release_taken(v);
    }
}

void close_rings() noexcept {
    RingArea *area = rings();
    const std::lock_guard<std::mutex> hold(mapping_lock);
    const int id = mapping.id;
    unmap_locked();
    if (area != nullptr) shmctl(id, IPC_RMID, nullptr);
}

void unmap_rings() noexcept {
    const std::lock_guard<std::mutex> hold(mapping_lock);
    unmap_locked();
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

    const std::lock_guard<std::mutex> hold(mapping_lock);
    unmap_locked();
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
        pxr_impl::shared(pxr_impl::ring_at(area, capacity, m).header->queue_id)
            .store(pxr_impl::ring::kNoQueue);
    pxr_impl::shared(area->magic).store(pxr_impl::kRingAreaMagic);
    publish(area, id, capacity);
    return 0;
}

int32_t PXR_ring_capacity(void) noexcept {
    if (common_ptr == nullptr) return -1;
    return rings() == nullptr ? 0 : int32_t(mapping.capacity.load(kRelaxed));
}
