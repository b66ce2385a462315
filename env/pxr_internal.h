// Internal interface shared by the sources of the library: the IPC key plan, the
// per-process attachment state, the lazy-attach prologue, slot addressing and the
// helpers for atomic access to words in shared memory. Nothing here is exported.
#pragma once

#include "pxrlib.h"

#include <atomic>
#include <cstdint>
#include <sys/ipc.h>

#ifndef PXR_IPC_MODE
#define PXR_IPC_MODE 0666
#endif

namespace pxr {

// ---- IPC key plan (the values are public: see pxrlib.h). ----
inline constexpr int kSystemLockKey = PXR_KEY_SYSTEM_LOCK;
inline constexpr int kExitSemKey = PXR_KEY_EXIT_SEM;
inline constexpr int kMsgArrayKey = PXR_KEY_MSG_ARRAY;
inline constexpr int kPartitionHeaderKey = PXR_KEY_PARTITION_HEADER;
inline constexpr int kPartitionLockKey = PXR_KEY_PARTITION_LOCK;
inline constexpr int kCommonAreaKey = PXR_KEY_COMMON_AREA;
inline constexpr int kFatalSemKey = PXR_KEY_FATAL_SEM;
inline constexpr int kModuleQueueKey = PXR_KEY_MODULE_QUEUE;

// Permission of every object: creators add IPC_CREAT. 0666 unless the build chose another mode.
inline constexpr int kIpcMode = PXR_IPC_MODE;
inline constexpr int kOpenPerm = kIpcMode;
inline constexpr int kCreatePerm = IPC_CREAT | kIpcMode;

inline constexpr int kPartitions = 2;
inline constexpr int32_t kMaxBuffers = 65000;
inline constexpr uint32_t kAliasNone = 256; // alias_of of an entry that owns its queue
inline constexpr uint32_t kInterfaceVersion = 0x10042;

// The geometry of an attached partition, which never changes while the partition exists.
// Each process keeps a copy: the hot paths read it there instead of in the shared header,
// whose first cache line every allocation and release on another core writes.
struct PartitionGeometry {
    uint32_t param_size;
    int32_t num_msgs;
    uint32_t stride;
};

// ---- Per-process attachment state (plain static data of the library). ----
} // namespace pxr

extern CommonArea *common_ptr; // null = not attached
extern int32_t pxr_semid;      // system lock, -1 = none
extern int32_t pxr_common_id;
extern int32_t my_pid; // stamped into buffers
extern int32_t partition_hdr_id[2];
extern int32_t partition_msgarray_id[2];
extern int32_t partition_lock_id[2];
extern pxr::PartitionGeometry partition_geometry[2]; // valid while partition_hdr[p] is set

namespace pxr {

// Slow path of lazy_attach: PXR_link, and on failure sleep(pause_seconds) (sleep(0) included).
bool link_or_pause(unsigned pause_seconds) noexcept;

// The prologue of every operation that attaches lazily: true when the process is attached
// (attaching with PXR_link if needed); otherwise it has slept pause_seconds and the caller
// returns its own failure value.
inline bool lazy_attach(unsigned pause_seconds) noexcept {
    return common_ptr != nullptr || link_or_pause(pause_seconds);
}

// Sleep whole seconds with sleep(3); sleep(0) is still a call (it yields).
void pause_seconds(unsigned seconds) noexcept;

// ---- Atomic access to 32-bit words that live in shared memory. ----
inline std::atomic_ref<uint32_t> shared(uint32_t &word) noexcept {
    return std::atomic_ref<uint32_t>(word);
}
inline std::atomic_ref<int32_t> shared(int32_t &word) noexcept {
    return std::atomic_ref<int32_t>(word);
}

// ---- Slot addressing: a MSG lies 44 bytes behind the start of its slot. ----
inline SysMsg *slot_of(const MSG *msg) noexcept {
    return reinterpret_cast<SysMsg *>(
        const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(msg)) - PXR_SYSMSG_SIZE);
}
inline MSG *msg_of(SysMsg *slot) noexcept {
    return reinterpret_cast<MSG *>(reinterpret_cast<uint8_t *>(slot) + PXR_SYSMSG_SIZE);
}
inline SysMsg *slot_at(int partition, uint32_t index) noexcept {
    return reinterpret_cast<SysMsg *>(partition_msgarray[partition] +
                                      std::size_t(index) * partition_geometry[partition].stride);
}
// The rear guard is the last word of the slot.
inline uint32_t *rear_guard_of(SysMsg *slot, uint32_t stride) noexcept {
    return reinterpret_cast<uint32_t *>(reinterpret_cast<uint8_t *>(slot) + stride - 4);
}

// Partition choice shared by both pools: partition 0 when attached and big enough, else 1
// when attached and big enough, else -1.
inline int choose_partition(uint32_t size) noexcept {
    for (int p = 0; p < kPartitions; ++p)
        if (partition_hdr[p] != nullptr && size <= partition_geometry[p].param_size) return p;
    return -1;
}

} // namespace pxr

// ---- Internal operations (hidden; named as in the design). ----
SysMsg *semaphore_getmem(uint32_t *size, uint32_t *onset_flag) noexcept;
uint32_t semaphore_relmem(SysMsg *slot) noexcept;
MSG *PXR_read(uint8_t module, int nowait) noexcept;
