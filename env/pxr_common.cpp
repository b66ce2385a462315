// The attachment of one process to the environment and its lifecycle: creating the
// environment (the loader), attaching, the lazy attach with its retries, detaching, and what
// a lock call that fails for good means for the process.
#include "pxrlib.h"

#include "env/buffer_cache.h"
#include "env/pxr_internal.h"
#include "env/ring_queues.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace pxr_impl {
Attachment attachment;
}

// ---- Exported per-process data ----
int32_t PXR_sys_failure = 1;
uint32_t *counter_ptr[PXR_COUNTER_COUNT] = {};
PartitionHeader *partition_hdr[2] = {nullptr, nullptr};
uint8_t *partition_msgarray[2] = {nullptr, nullptr};

namespace {

using pxr_impl::attachment;

constexpr int kLinkAttempts = 152;
constexpr uint32_t kLinkRetryMs = 100;

// The two since-reset statistics blocks of a partition header: bytes 24..55 and 80..111.
void reset_partition_stats(PartitionHeader *h) {
    h->max_alloc_reset = 0;
    h->max_alloc_time = Timestamp{};
    h->cong_count_reset = 0;
    h->cong_onset_time = Timestamp{};
}

// Fills a freshly created (zero-filled) common area.
void initialise_common(CommonArea *ca, uint32_t flags, uint32_t congestion_module) {
    uint32_t state = CA_CREATED;
    if (flags & PXR_INIT_NO_ATTACH) state |= CA_NO_ATTACH;
    ca->exit_status = 0;
    ca->fatal_action = flags >> 28;
    ca->interface_version = pxr_impl::kInterfaceVersion;
    ca->atomic_mode = (flags & PXR_INIT_ATOMIC) ? 1u : 0u;
    std::memset(ca->platform, 0, sizeof ca->platform);
    std::memcpy(ca->platform, "LINUX-64", sizeof "LINUX-64");
    if (flags & PXR_INIT_ERROR_PRINT) ca->error_print = 1;
    for (ModuleQueueEntry &e : ca->module_queues) e.msqid = PXR_NO_QUEUE;
    ca->congestion_module = congestion_module;
    for (uint32_t &c : ca->counters) pxr_impl::shared(c).store(0);
    PLAT_timestamp(&ca->restart_time);
    // A semaphore left by an earlier run is reused with its value; failure leaves -1.
    sema_open(&ca->fatal_semid, pxr_impl::kFatalSemKey, 1);
    pxr_impl::shared(ca->fatal_code).store(0);
    pxr_impl::shared(ca->flags).store(state);
}

// Opens the system lock (creating it exclusively in create mode) and takes it: 0, or the
// result code of PXR_init.
int take_system_lock(bool create) {
    pxr_impl::reset_ipc_mode();
    if (create) {
        int probe = -1;
        if (sema_open(&probe, pxr_impl::kSystemLockKey, 0) == 0) {
            attachment.system_lock = -1;
            return 1;
        }
        // The lookup above and this creation are separate calls; creating exclusively closes
        // the window in which two loaders could both pass the lookup.
        const int id = semget(pxr_impl::kSystemLockKey, 1, pxr_impl::create_perm() | IPC_EXCL);
        const int err = errno;
        attachment.system_lock = id;
        if (id < 0) return err == EEXIST ? 1 : 5;
    } else if (sema_open(&attachment.system_lock, pxr_impl::kSystemLockKey, 0) != 0) {
        return 5;
    } else {
        pxr_impl::adopt_ipc_mode(attachment.system_lock);
    }
    return _grab_semaphore(attachment.system_lock) != 0 ? 5 : 0;
}

// Maps the common area into the record; false when it cannot be had.
bool map_common(bool create) {
    attachment.common = static_cast<CommonArea *>(SYS_alloc_shm(
        &attachment.common_id, sizeof(CommonArea), pxr_impl::kCommonAreaKey, create ? 1 : 0));
    return attachment.common != nullptr;
}

// Undoes a mapped but refused attach: detach everything, give the system lock back.
int refuse_attach(int code) {
    const int32_t lock = attachment.system_lock;
    for (int p = 0; p < pxr_impl::kPartitions; ++p) pxr_impl::release_partition(p, false);
    SYS_free_shm(attachment.common, attachment.common_id, 0);
    attachment.common = nullptr;
    _release_semaphore(lock);
    return code;
}

int create_environment(uint32_t flags, uint32_t congestion_module) {
    if (!map_common(true)) {
        _release_semaphore(attachment.system_lock);
        return 3;
    }
    initialise_common(attachment.common, flags, congestion_module);
    pxr_impl::create_extension();
    attachment.creator = true;
    return 0;
}

int attach_environment(uint32_t flags) {
    if (!map_common(false)) {
        _release_semaphore(attachment.system_lock);
        return 3;
    }
    const uint32_t state = pxr_impl::shared(attachment.common->flags).load();
    if (state & CA_NO_ATTACH) return refuse_attach(8);
    if (!(state & CA_RUNNING)) return refuse_attach(9);
    // A partition that cannot be mapped stays unattached; a receive tries it again before it
    // drops a record that names it.
    for (int p = 0; p < pxr_impl::kPartitions; ++p) PXR_open_partition(p, 0, 0, 0, 0, 0);
    if (flags & PXR_INIT_RESET_STATS)
        for (PartitionHeader *h : partition_hdr)
            if (h != nullptr) reset_partition_stats(h);
    pxr_impl::map_extension();
    pxr_impl::adopt_default_spin();
    return 0;
}

// The child of a fork is a process of its own: it keeps the mappings it inherited (an
// attachment is static data, copied by the fork) but stamps its own pid, did not create the
// environment, and receives with state of its own (receive landing, ring cursor, spin
// learning), never with the copies of its parent's.
void start_forked_copy() noexcept {
    if (attachment.pid != 0) attachment.pid = getpid();
    attachment.creator = false;
    pxr_impl::forget_receive_state();
    pxr_impl::forget_buffer_caches();
}

} // namespace

namespace pxr_impl {

bool attach_for_close() noexcept {
    if (attachment.common != nullptr) return true;
    attachment.pid = getpid();
    for (int p = 0; p < kPartitions; ++p) {
        partition_hdr[p] = nullptr;
        attachment.geometry[p] = PartitionGeometry{};
    }
    // The lock is only opened, so that the close removes it; it is not taken.
    int32_t lock = -1;
    reset_ipc_mode();
    if (sema_open(&lock, kSystemLockKey, 0) == 0) adopt_ipc_mode(lock);
    if (!map_common(false)) return false;
    attachment.system_lock = lock;
    for (int p = 0; p < kPartitions; ++p) PXR_open_partition(p, 0, 0, 0, 0, 0);
    map_extension();
    for (int i = 0; i < PXR_COUNTER_COUNT; ++i) counter_ptr[i] = &attachment.common->counters[i];
    PXR_sys_failure = 0;
    return true;
}

} // namespace pxr_impl

/// A create racing another create is refused with 1: the system lock is created exclusively.
/// A partition that does not exist or cannot be mapped is left unattached by an attach.
int PXR_init(uint32_t flags, uint32_t /*reserved*/, uint32_t congestion_module) noexcept {
    if (attachment.common != nullptr) return 6;
    static std::once_flag watch_forks;
    std::call_once(watch_forks, [] { pthread_atfork(nullptr, nullptr, start_forked_copy); });
    attachment.pid = getpid();
    const bool create = (flags & PXR_INIT_CREATE) != 0;
    if (int rc = take_system_lock(create); rc != 0) return rc;

    // From here on the system lock is held.
    for (int p = 0; p < pxr_impl::kPartitions; ++p) {
        partition_hdr[p] = nullptr;
        attachment.geometry[p] = pxr_impl::PartitionGeometry{};
    }
    for (uint32_t *&p : counter_ptr) p = nullptr;
    const int rc =
        create ? create_environment(flags, congestion_module) : attach_environment(flags);
    if (rc != 0) return rc;

    for (int i = 0; i < PXR_COUNTER_COUNT; ++i) counter_ptr[i] = &attachment.common->counters[i];
    PXR_sys_failure = 0;
    return _release_semaphore(attachment.system_lock) != 0 ? 5 : 0;
}

int PXR_link(void) noexcept {
    if (common_ptr != nullptr) return 0;
    for (int attempt = 1;; ++attempt) {
        int rc = PXR_init(0, 0, 0);
        if (rc != 8 && rc != 9) return rc;
        PLAT_delay(kLinkRetryMs);
        if (attempt == kLinkAttempts) return rc;
    }
}

/// A process whose environment was removed (and perhaps created again) since it attached is
/// detached first, so the answer is about the environment that runs now.
int PXR_detect(void) noexcept {
    pxr_impl::drop_if_replaced();
    if (common_ptr == nullptr && PXR_link() != 0) return 1;
    return PXR_sys_failure != 0 ? 1 : 0;
}

CommonArea *PXR_common_area(void) noexcept {
    return common_ptr;
}

int32_t PXR_common_area_id(void) noexcept {
    return common_ptr != nullptr ? pxr_common_id : -1;
}

int PXR_admit_attachers(void) noexcept {
    if (common_ptr == nullptr || !pxr_impl::attachment.creator) return 1;
    pxr_impl::shared(common_ptr->flags).fetch_or(CA_RUNNING);
    return 0;
}

int PXR_unlink(void) noexcept {
    if (common_ptr == nullptr) return 0;
    pxr_impl::detach_all();
    return 0;
}

/// A lock call that fails for good detaches the process and sets PXR_sys_failure.
int _grab_semaphore(int semid) noexcept {
    if (pxr_impl::lock_take(semid) == 0) return 0;
    pxr_impl::lose_environment();
    return 1;
}

/// A release that fails while the lock is held frees the lock all the same (its undo record
/// would otherwise keep it held for this process, which would block on itself when it attaches
/// again); then the process is detached as for any lock failure. A release of a lock that is
/// not held fails at once.
int _release_semaphore(int semid) noexcept {
    const int err = pxr_impl::lock_give(semid);
    if (err == 0) return 0;
    if (err != EAGAIN) pxr_impl::lock_force_free(semid);
    pxr_impl::lose_environment();
    return 1;
}

namespace pxr_impl {

void adopt_partition(int p, PartitionHeader *header, int32_t header_id, uint8_t *array,
                     int32_t array_id, int32_t lock_id) noexcept {
    attachment.header_id[p] = header_id;
    attachment.array_id[p] = array_id;
    attachment.lock_id[p] = lock_id;
    attachment.geometry[p] =
        PartitionGeometry{header->param_size, header->num_msgs, header->stride};
    partition_msgarray[p] = array;
    partition_hdr[p] = header;
}

void release_partition(int p, bool remove) noexcept {
    if (partition_hdr[p] != nullptr) {
        flush_buffer_caches(p);
        SYS_free_shm(partition_hdr[p], attachment.header_id[p], remove);
        if (partition_msgarray[p] != nullptr)
            SYS_free_shm(partition_msgarray[p], attachment.array_id[p], remove);
        if (remove) sema_close(attachment.lock_id[p], 1);
    }
    partition_hdr[p] = nullptr;
    partition_msgarray[p] = nullptr;
    attachment.header_id[p] = attachment.array_id[p] = attachment.lock_id[p] = 0;
    attachment.geometry[p] = PartitionGeometry{};
}

void detach_all() noexcept {
    attachment.system_lock = -1;
    if (attachment.common != nullptr) SYS_free_shm(attachment.common, attachment.common_id, 0);
    attachment.common = nullptr;
    attachment.common_id = 0;
    attachment.creator = false;
    for (int p = 0; p < kPartitions; ++p) release_partition(p, false);
    release_extension(false);
    unmap_rings();
}

void lose_environment() noexcept {
    PXR_sys_failure = 1;
    PXR_unlink();
}

bool drop_if_replaced() noexcept {
    if (attachment.common == nullptr) return false;
    // Only a different segment under the key is a new environment: one that was merely
    // removed stays valid for this process until it detaches.
    const int current = shmget(kCommonAreaKey, 0, 0);
    if (current < 0 || current == attachment.common_id) return false;
    // Messages this process still holds point into the old buffers: they stay mapped, so a
    // release of one is refused as foreign instead of touching freed memory.
    for (int p = 0; p < kPartitions; ++p) retire_partition(p);
    detach_all();
    PXR_sys_failure = 1;
    return true;
}

namespace {
void forget_retired(int p) noexcept {
    if (attachment.retired_header[p] != nullptr) shmdt(attachment.retired_header[p]);
    if (attachment.retired_array[p] != nullptr) shmdt(attachment.retired_array[p]);
    attachment.retired_header[p] = nullptr;
    attachment.retired_array[p] = nullptr;
}
} // namespace

void forget_retired() noexcept {
    for (int p = 0; p < kPartitions; ++p) forget_retired(p);
}

void retire_partition(int p) noexcept {
    forget_retired(p);
    attachment.retired_header[p] = partition_hdr[p];
    attachment.retired_array[p] = partition_msgarray[p];
    partition_hdr[p] = nullptr;
    partition_msgarray[p] = nullptr;
    release_partition(p, false);
}

bool link_or_pause(unsigned seconds) noexcept {
    if (PXR_link() == 0) return true;
    pause_seconds(seconds);
    return false;
}

void pause_seconds(unsigned seconds) noexcept {
    sleep(seconds); // NOLINT(concurrency-mt-unsafe): the library starts no threads
}

} // namespace pxr_impl
