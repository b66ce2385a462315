// The module queue table: one System V queue per module that owns one, aliases that borrow
// another module's queue, and the queries on them.
#include "pxrlib.h"

#include "env/groups.h"
#include "env/pxr_internal.h"
#include "env/ring_queues.h"

#include <atomic>
#include <sys/msg.h>

namespace {

constexpr uint32_t kOwnQueue = 0x1;

bool known_module(uint32_t module) {
    return module < uint32_t(PXR_MODULE_COUNT);
}

ModuleQueueEntry &entry(uint32_t module) {
    return common_ptr->module_queues[module];
}

int queue_key(uint32_t module) {
    return pxr_impl::module_queue_key(module);
}

// Gets a queue; in a restrictive build one owned by another user is refused (-1).
int get_queue(uint32_t module, int permission) {
    const int id = msgget(queue_key(module), permission);
    return id >= 0 && !pxr_impl::trusted_queue(id, queue_key(module)) ? -1 : id;
}

// What the two queries ask of a module's own queue.
struct QueueStatus {
    uint32_t waiting;
    int32_t last_receiver;
};

// The status of a module's own queue, or the query's negative code. A ring keeps both
// answers in its own header; the kernel is asked only for a kernel queue.
int32_t query_queue(uint32_t module, QueueStatus &status) {
    if (!pxr_impl::lazy_attach(0)) return -1;
    if (!known_module(module)) return -1;
    const ModuleQueueEntry &e = entry(module);
    if (e.msqid == PXR_NO_QUEUE) return -1;
    if (!(e.queue_flags & kOwnQueue)) return -2;
    if (const pxr_impl::ring::View ring = pxr_impl::ring_of_queue(module, e.msqid)) {
        status = {pxr_impl::ring::depth(ring), pxr_impl::shared(ring.header->last_pid).load()};
        return 0;
    }
    msqid_ds ds{};
    if (msgctl(int(e.msqid), IPC_STAT, &ds) != 0) return -4;
    status = {uint32_t(ds.msg_qnum), int32_t(ds.msg_lrpid)};
    return 0;
}

} // namespace

/// A module id above 254, or a caller that is not attached, is refused with 1.
int IPC_create(uint32_t module, uint32_t flags) noexcept {
    if (common_ptr == nullptr || !known_module(module)) return 1;
    ModuleQueueEntry &e = entry(module);
    if (e.msqid != PXR_NO_QUEUE || pxr_impl::group_of(module) != nullptr) return 1;

    int id;
    if (flags & 0x1) {
        id = msgget(queue_key(module), pxr_impl::create_perm());
        if (id < 0) {
            e.msqid = PXR_NO_QUEUE;
            return 1;
        }
        // Whatever an earlier run left in the queue goes with it; the queue is made anew.
        e.msqid = uint32_t(id);
        IPC_delete(module);
        id = get_queue(module, pxr_impl::create_perm());
    } else {
        id = get_queue(module, pxr_impl::open_perm());
    }
    if (id < 0) {
        e.msqid = PXR_NO_QUEUE;
        return 1;
    }
    e.msqid = uint32_t(id);
    e.queue_flags |= kOwnQueue;
    e.alias_of = pxr_impl::kAliasNone;
    pxr_impl::ring_adopt(module, e.msqid, (flags & 0x1) != 0);
    return 0;
}

/// A module id above 254, or a caller that is not attached, is ignored (0). The id in the
/// table is only removed when it names a module queue of the key plan; otherwise it is left,
/// and an entry that owns its queue has the queue under its own key removed instead.
int IPC_delete(uint32_t module) noexcept {
    if (common_ptr == nullptr || !known_module(module)) return 0;
    ModuleQueueEntry &e = entry(module);
    int id = int(e.msqid);
    // The queue the entry names goes, its own or the one it borrows: so does the ring serving it.
    pxr_impl::ring_drop(module, e.msqid);
    if (!pxr_impl::is_module_queue_key(pxr_impl::key_of_queue(id))) {
        // By key only while the table is the current environment's: once another process has
        // closed it, the key may name a new environment's queue.
        const bool own = (e.queue_flags & kOwnQueue) != 0 && !pxr_impl::shm_removed(pxr_common_id);
        id = own ? msgget(queue_key(module), 0) : -1;
    }
    if (id >= 0) msgctl(id, IPC_RMID, nullptr);
    e.msqid = PXR_NO_QUEUE;
    e.alias_of = pxr_impl::kAliasNone;
    e.queue_flags = 0;
    return 0;
}

/// A module id above 254 on either side, or a caller that is not attached, is refused with 1;
/// so is a group id as the module (a group has no queue of its own to point elsewhere).
int IPC_attach(uint32_t module, uint32_t target) noexcept {
    if (common_ptr == nullptr || !known_module(module) || !known_module(target)) return 1;
    const uint32_t msqid = entry(target).msqid;
    if (msqid == PXR_NO_QUEUE || pxr_impl::group_of(module) != nullptr) return 1;
    ModuleQueueEntry &e = entry(module);
    e.msqid = msqid;
    e.alias_of = target;
    e.queue_flags &= ~kOwnQueue;
    return 0;
}

int IPC_unalias(uint32_t module, uint32_t target) noexcept {
    if (common_ptr == nullptr || !known_module(module) || !known_module(target)) return 1;
    ModuleQueueEntry &e = entry(module);
    const uint32_t msqid = std::atomic_ref<uint32_t>(e.msqid).load();
    if (module == target || (std::atomic_ref<uint32_t>(e.queue_flags).load() & kOwnQueue) != 0 ||
        msqid == PXR_NO_QUEUE || msqid != std::atomic_ref<uint32_t>(entry(target).msqid).load())
        return 1;
    std::atomic_ref<uint32_t>(e.msqid).store(PXR_NO_QUEUE);
    std::atomic_ref<uint32_t>(e.alias_of).store(pxr_impl::kAliasNone);
    std::atomic_ref<uint32_t>(e.queue_flags).store(0);
    return 0;
}

/// A module id above 254 on either side compares as different (1).
int PXR_compare_moduleQs(uint32_t a, uint32_t b) noexcept {
    if (!pxr_impl::lazy_attach(0)) return 1;
    if (!known_module(a) || !known_module(b)) return 1;
    return entry(a).msqid == entry(b).msqid ? 0 : 1;
}

int32_t PXR_pending_msgs(uint32_t module) noexcept {
    QueueStatus status{};
    int32_t rc = query_queue(module, status);
    return rc != 0 ? rc : int32_t(status.waiting);
}

int32_t PXR_lastpid(uint32_t module) noexcept {
    QueueStatus status{};
    int32_t rc = query_queue(module, status);
    return rc != 0 ? rc : status.last_receiver;
}
