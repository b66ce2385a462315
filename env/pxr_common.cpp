// Per-process attachment state and the lifecycle of one process in the environment:
// creating it (the loader), attaching, the lazy attach with its retries, and detaching.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cerrno>
#include <cstring>
#include <sys/sem.h>
#include <unistd.h>

// ---- Per-process state ----
CommonArea *common_ptr = nullptr;
int32_t pxr_semid = -1;
int32_t pxr_common_id = 0;
int32_t my_pid = 0;
int32_t partition_hdr_id[2] = {0, 0};
int32_t partition_msgarray_id[2] = {0, 0};
int32_t partition_lock_id[2] = {0, 0};
pxr::PartitionGeometry partition_geometry[2] = {};

// ---- Exported per-process data ----
int32_t PXR_sys_failure = 1;
uint32_t *counter_ptr[PXR_COUNTER_COUNT] = {};
PartitionHeader *partition_hdr[2] = {nullptr, nullptr};
uint8_t *partition_msgarray[2] = {nullptr, nullptr};

namespace {

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
    ca->interface_version = pxr::kInterfaceVersion;
    ca->atomic_mode = (flags & PXR_INIT_ATOMIC) ? 1u : 0u;
    std::memset(ca->platform, 0, sizeof ca->platform);
    std::memcpy(ca->platform, "LINUX-64", sizeof "LINUX-64");
    if (flags & PXR_INIT_ERROR_PRINT) ca->error_print = 1;
    for (ModuleQueueEntry &e : ca->module_queues) e.msqid = PXR_NO_QUEUE;
    ca->congestion_module = congestion_module;
    for (uint32_t &c : ca->counters) pxr::shared(c).store(0);
    PLAT_timestamp(&ca->restart_time);
    // A semaphore left by an earlier run is reused with its value; failure leaves -1.
    sema_open(&ca->fatal_semid, pxr::kFatalSemKey, 1);
    pxr::shared(ca->fatal_code).store(0);
    pxr::shared(ca->flags).store(state);
}

// Undoes a mapped but refused attach: detach, forget, give the system lock back.
int refuse_attach(int code) {
    SYS_free_shm(common_ptr, pxr_common_id, 0);
    common_ptr = nullptr;
    _release_semaphore(pxr_semid);
    return code;
}

} // namespace

/// A create racing another create is refused with 1: the system lock is created exclusively.
int PXR_init(uint32_t flags, uint32_t /*reserved*/, uint32_t congestion_module) noexcept {
    if (common_ptr != nullptr) return 6;
    my_pid = getpid();
    const bool create = (flags & PXR_INIT_CREATE) != 0;

    int probe = -1;
    if (create && sema_open(&probe, pxr::kSystemLockKey, 0) == 0) {
        pxr_semid = -1;
        return 1;
    }
    if (create) {
        // The lookup above and this creation are separate calls; creating exclusively closes
        // the window in which two loaders could both pass the lookup.
        pxr_semid = semget(pxr::kSystemLockKey, 1, pxr::kCreatePerm | IPC_EXCL);
        if (pxr_semid < 0) {
            int err = errno;
            pxr_semid = -1;
            return err == EEXIST ? 1 : 5;
        }
    } else if (sema_open(&pxr_semid, pxr::kSystemLockKey, 0) != 0) {
        return 5;
    }
    if (_grab_semaphore(pxr_semid) != 0) return 5;

    partition_hdr[0] = partition_hdr[1] = nullptr;
    for (uint32_t *&p : counter_ptr) p = nullptr;

    if (create) {
        common_ptr = static_cast<CommonArea *>(
            SYS_alloc_shm(&pxr_common_id, sizeof(CommonArea), pxr::kCommonAreaKey, 1));
        if (common_ptr == nullptr) {
            _release_semaphore(pxr_semid);
            return 3;
        }
        initialise_common(common_ptr, flags, congestion_module);
    } else {
        common_ptr = static_cast<CommonArea *>(
            SYS_alloc_shm(&pxr_common_id, sizeof(CommonArea), pxr::kCommonAreaKey, 0));
        if (common_ptr == nullptr) {
            _release_semaphore(pxr_semid);
            return 3;
        }
        uint32_t state = pxr::shared(common_ptr->flags).load();
        if (state & CA_NO_ATTACH) return refuse_attach(8);
        if (!(state & CA_RUNNING)) return refuse_attach(9);
        for (int p = 0; p < pxr::kPartitions; ++p) PXR_open_partition(p, 0, 0, 0, 0, 0);
        if (flags & PXR_INIT_RESET_STATS)
            for (PartitionHeader *h : partition_hdr)
                if (h != nullptr) reset_partition_stats(h);
    }

    for (int i = 0; i < PXR_COUNTER_COUNT; ++i) counter_ptr[i] = &common_ptr->counters[i];
    PXR_sys_failure = 0;
    return _release_semaphore(pxr_semid) != 0 ? 5 : 0;
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

int PXR_detect(void) noexcept {
    if (common_ptr == nullptr && PXR_link() != 0) return 1;
    return PXR_sys_failure != 0 ? 1 : 0;
}

int PXR_unlink(void) noexcept {
    if (common_ptr == nullptr) return 0;
    pxr_semid = -1;
    SYS_free_shm(common_ptr, pxr_common_id, 0);
    common_ptr = nullptr;
    for (int p = 0; p < pxr::kPartitions; ++p) {
        if (partition_hdr[p] != nullptr) {
            SYS_free_shm(partition_hdr[p], partition_hdr_id[p], 0);
            partition_hdr[p] = nullptr;
        }
        if (partition_msgarray[p] != nullptr) {
            SYS_free_shm(partition_msgarray[p], partition_msgarray_id[p], 0);
            partition_msgarray[p] = nullptr;
        }
    }
    return 0;
}

namespace pxr {

bool link_or_pause(unsigned seconds) noexcept {
    if (PXR_link() == 0) return true;
    pause_seconds(seconds);
    return false;
}

void pause_seconds(unsigned seconds) noexcept {
    sleep(seconds);
}

} // namespace pxr
