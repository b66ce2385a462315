// Internal interface shared by the sources of the library: the IPC key plan, the
// per-process attachment state, the lazy-attach prologue, slot addressing and the
// helpers for atomic access to words in shared memory. Nothing here is exported; the internals
// live in namespace pxr_impl, apart from the public pxr of pxr.hpp.
#pragma once

#include "pxrlib.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/ipc.h>

namespace pxr_impl {

// ---- IPC key plan: the public PXR_KEY_* values, and nothing else, name the objects. ----
inline constexpr int kSystemLockKey = PXR_KEY_SYSTEM_LOCK;
inline constexpr int kExitSemKey = PXR_KEY_EXIT_SEM;
inline constexpr int kMsgArrayKey = PXR_KEY_MSG_ARRAY;
inline constexpr int kPartitionHeaderKey = PXR_KEY_PARTITION_HEADER;
inline constexpr int kPartitionLockKey = PXR_KEY_PARTITION_LOCK;
inline constexpr int kCommonAreaKey = PXR_KEY_COMMON_AREA;
inline constexpr int kFatalSemKey = PXR_KEY_FATAL_SEM;
inline constexpr int kModuleQueueKey = PXR_KEY_MODULE_QUEUE;
inline constexpr int kExtensionKey = PXR_KEY_EXTENSION;
inline constexpr int module_queue_key(uint32_t module) noexcept {
    return kModuleQueueKey + int(module);
}
// True for a key that names the queue of some module 0..254.
inline constexpr bool is_module_queue_key(long key) noexcept {
    return key >= kModuleQueueKey && key < kModuleQueueKey + PXR_MODULE_COUNT;
}

// Permission of every object this process creates or opens (creators add IPC_CREAT): the
// build's mode (PXR_IPC_MODE, 0666 unless chosen otherwise) until the creator chooses another
// with PXR_set_access, or an attacher adopts the narrower mode of the system lock it opens.
int ipc_mode() noexcept;
inline int open_perm() noexcept {
    return ipc_mode();
}
inline int create_perm() noexcept {
    return IPC_CREAT | ipc_mode();
}
// Back to the build's mode (a new create), or to that narrowed by the mode of the environment's
// system lock semid (an attach).
void reset_ipc_mode() noexcept;
void adopt_ipc_mode(int semid) noexcept;
void set_ipc_mode(int mode) noexcept;

inline constexpr int kPartitions = 2;
inline constexpr int32_t kMaxBuffers = 65000;
inline constexpr uint32_t kAliasNone = 256; // alias_of of an entry that owns its queue

// Interface version: what PXR_get_version reports and the common area records.
inline constexpr uint32_t kVersionMajor = 1;
inline constexpr uint32_t kVersionMinor = 66;
inline constexpr uint32_t kInterfaceVersion = (kVersionMajor << 16) | kVersionMinor;

// One module queue record: the kernel sees mtype (always 1) and 12 bytes of text holding the
// buffer reference.
struct QueueRecord {
    long mtype;
    uint16_t index;
    uint16_t partition;
    uint8_t reserved[8];
};
inline constexpr std::size_t kRecordText = 12;

// A buffer named in one 32-bit word, as rings and landings carry it: {index | partition << 16}.
inline constexpr uint32_t buffer_ref(uint32_t index, uint32_t partition) noexcept {
    return (index & 0xFFFFu) | partition << 16;
}
inline constexpr uint32_t ref_index(uint32_t ref) noexcept {
    return ref & 0xFFFFu;
}
inline constexpr uint32_t ref_partition(uint32_t ref) noexcept {
    return ref >> 16;
}
static_assert(offsetof(QueueRecord, reserved) + sizeof(QueueRecord::reserved) -
                      offsetof(QueueRecord, index) ==
                  kRecordText,
              "record text is 12 bytes");

// The geometry of an attached partition, which never changes while the partition exists.
// Each process keeps a copy: the hot paths read it there instead of in the shared header,
// whose first cache line every allocation and release on another core writes.
struct PartitionGeometry {
    uint32_t param_size;
    int32_t num_msgs;
    uint32_t stride;
};

// The attachment of this process to the environment. One record, written only by the
// functions below (attach, detach, close), so that its parts are set and cleared together.
// The exported partition_hdr, partition_msgarray and counter_ptr are views of it that the same
// functions keep in step; a partition's geometry is zero whenever its header is not attached.
// Where waiting senders and allocations sleep until room is made (flow.cpp): expiry_ms is 0
// while nobody waits, else the monotonic millisecond (low 32 bits) up to which a waiter wants
// wake-ups; seq is the futex word a waker raises.
struct RoomWord {
    uint32_t expiry_ms;
    uint32_t seq;
};
inline constexpr int kRoomQueues = 256; // queues share words by the low 8 bits of their id

// The extension segment: the public ExtensionArea, the receive landings, the room words.
struct ExtensionSegment {
    ExtensionArea area;
    ReceiveLanding landings[PXR_RECEIVE_LANDINGS];
    RoomWord queue_room[kRoomQueues];
    RoomWord pool_room[2];
};
static_assert(sizeof(long) == sizeof(int64_t) &&
                  offsetof(ReceiveLanding, index) - offsetof(ReceiveLanding, mtype) ==
                      offsetof(QueueRecord, index) &&
                  sizeof(ReceiveLanding) - offsetof(ReceiveLanding, mtype) >= sizeof(QueueRecord),
              "a landing holds a queue record from its mtype on");

struct Attachment {
    CommonArea *common = nullptr; // null = not attached
    int32_t system_lock = -1;     // id of the system lock, -1 = none opened
    int32_t common_id = 0;
    int32_t pid = 0; // stamped into buffers
    int32_t header_id[kPartitions] = {};
    int32_t array_id[kPartitions] = {};
    int32_t lock_id[kPartitions] = {};
    PartitionGeometry geometry[kPartitions] = {};
    ExtensionSegment *extension = nullptr; // null when the environment has none
    int32_t extension_id = 0;
    bool creator = false; // this process created the environment it is attached to
    // The buffers of an environment removed while this process mapped it (drop_if_replaced):
    // kept mapped until the next replacement or a close, detached then.
    PartitionHeader *retired_header[kPartitions] = {};
    uint8_t *retired_array[kPartitions] = {};
};
extern Attachment attachment;

// A partition just mapped: publishes it with its ids and geometry.
void adopt_partition(int p, PartitionHeader *header, int32_t header_id, uint8_t *array,
                     int32_t array_id, int32_t lock_id) noexcept;
// Detaches partition p (removing its objects when remove is set) and clears its state.
void release_partition(int p, bool remove) noexcept;
// Detaches the common area and every partition, removing nothing, and clears the record.
void detach_all() noexcept;
// Maps the environment that exists (common area, partitions, extension) without taking the
// system lock, for a closer that another process's held lock must not stop. True when this
// process is attached afterwards.
bool attach_for_close() noexcept;
// The reaction to a lock or queue call that failed for good: no usable environment here.
void lose_environment() noexcept;
// Failure paths of a process that may still map a removed environment: when a new common
// area exists under the key (a different segment from the one mapped), it detaches (keeping
// the old buffers mapped, so messages it holds stay readable) and the next operation attaches
// to the environment that runs now. True if so. A removal alone changes nothing here.
bool drop_if_replaced() noexcept;
// Detaches the buffers kept by drop_if_replaced.
void forget_retired() noexcept;
// Partition p's mapping is kept (its messages stay readable) but no longer used; the one kept
// before is detached.
void retire_partition(int p) noexcept;

// ---- The extension area (extension.cpp) ----
// The creator makes it beside the common area; a failure leaves the environment without it.
void create_extension() noexcept;
// An attach maps it when it exists and has this library's layout.
void map_extension() noexcept;
// Detaches it (removing it when remove is set) and clears the record.
void release_extension(bool remove) noexcept;
// One more record dropped by a receive.
void count_dropped_record() noexcept;
// ---- Receive landings (landings.cpp) ----
// The calling thread's landing, claimed on first use; null when the environment has none or
// every landing is taken (the receive then lands the record on its stack).
ReceiveLanding *my_landing() noexcept;
// Forgets the calling thread's landing (a forked copy claims one of its own).
void forget_landing() noexcept;
// After the buffer is stamped received (or the record dropped): the landing is empty again.
void settle_landing(ReceiveLanding *landing) noexcept;
// A record a landing holds: its owner and the reference {index | partition << 16};
// PXR_NO_LANDING while a kernel record is being written into it.
struct LandedRecord {
    int32_t owner;
    uint32_t ref;
};
// The records the landings hold now, at most capacity. How many.
int read_landings(LandedRecord *out, int capacity) noexcept;
// Empties the landing of owner, an ended process, that holds ref: its buffer was returned.
void release_landing(int32_t owner, uint32_t ref) noexcept;

// A process that attached takes the environment's default receive spin window unless it chose
// its own (transport.cpp).
void adopt_default_spin() noexcept;
// What the calling thread carries between receives (ring cursor, spin learning, landing) is
// forgotten: the child of a fork starts as a fresh process.
void forget_receive_state() noexcept;

} // namespace pxr_impl

// Read-only names of the attachment's parts, for the code that only reads them.
inline constexpr CommonArea *const &common_ptr = pxr_impl::attachment.common;
inline constexpr const int32_t &pxr_semid = pxr_impl::attachment.system_lock;
inline constexpr const int32_t &pxr_common_id = pxr_impl::attachment.common_id;
inline constexpr const int32_t &my_pid = pxr_impl::attachment.pid;
inline constexpr const int32_t (&partition_hdr_id)[2] = pxr_impl::attachment.header_id;
inline constexpr const int32_t (&partition_msgarray_id)[2] = pxr_impl::attachment.array_id;
inline constexpr const int32_t (&partition_lock_id)[2] = pxr_impl::attachment.lock_id;
inline constexpr const pxr_impl::PartitionGeometry (&partition_geometry)[2] =
    pxr_impl::attachment.geometry;

namespace pxr_impl {

// ---- The System V layer (pxr_unix.cpp): results only, no effect on the attachment. ----
// Takes a lock (waits for 0, adds 1, SEM_UNDO), repeating interrupted waits: 0 or the errno.
int lock_take(int semid) noexcept;
// As lock_take, waiting at most timeout_ms: 0, EAGAIN when the lock stayed held, or the errno.
int lock_take_within(int semid, uint32_t timeout_ms) noexcept;
// Gives a held lock back (-1, IPC_NOWAIT|SEM_UNDO): 0 or the errno (EAGAIN: it was not held).
int lock_give(int semid) noexcept;
// Frees a lock this process holds but could not give back, clearing the undo record that
// would otherwise hold it again for this process. 0 done, else the errno.
int lock_force_free(int semid) noexcept;
// An object of this build's restrictive mode must be owned by this process's user (or, with
// a group mode, its group) and grant no more than that mode; false (and a message) otherwise.
// Always true in the default 0666 build.
bool trusted_shm(int id, int key) noexcept;
bool trusted_sem(int id, int key) noexcept;
bool trusted_queue(int id, int key) noexcept;
// The key of the object an id names, or -1 when the id names none (removed, never existed).
long key_of_shm(int id) noexcept;
long key_of_sem(int id) noexcept;
long key_of_queue(int id) noexcept;
// True when the segment was removed (or marked for removal while still mapped).
bool shm_removed(int id) noexcept;

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

// ---- Words of a slot's system header, read and written bytewise: the slots of a locked
// partition whose parameter size is not a multiple of 4 are not 4-byte aligned. ----
inline uint32_t load_word(const void *slot, std::size_t offset) noexcept {
    uint32_t v;
    std::memcpy(&v, static_cast<const uint8_t *>(slot) + offset, sizeof v);
    return v;
}
inline void store_word(void *slot, std::size_t offset, uint32_t v) noexcept {
    std::memcpy(static_cast<uint8_t *>(slot) + offset, &v, sizeof v);
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

// ---- Send (transport.cpp) ----
// The queue id dst's entry names; PXR_NO_QUEUE for none (module id 255 has no entry).
uint32_t destination_queue(uint32_t dst) noexcept;
// A send to a module without a queue: the optional message and the 2 s pause. -1.
int undefined_destination(uint32_t dst) noexcept;
// A send that failed for good with err: the optional perror, internal_errors + 1 and, with
// fatal_action 1, the termination. -1.
int send_failed(int err) noexcept;
// Repeats put(progress) as a send does: at once after an interruption (EINTR), after a
// zero-second sleep while the queue is full (EAGAIN) or the kernel short of memory (ENOMEM),
// the sixth such failure in a row without progress ending it. put returns 0 when done, else
// the errno, and sets progress when it moved records although it did not finish. 0 or the errno.
template <class Put>
int put_retrying(Put &&put) noexcept {
    constexpr int kFullQueueRetries = 5;
    for (int retries = 0;;) {
        bool progress = false;
        const int err = put(progress);
        if (err == 0) return 0;
        if (progress) retries = 0;
        if (err == EINTR) continue;
        if ((err != EAGAIN && err != ENOMEM) || retries == kFullQueueRetries) return err;
        ++retries;
        pause_seconds(0);
    }
}

} // namespace pxr_impl

// ---- Internal operations (hidden). ----
SysMsg *semaphore_getmem(uint32_t *size, uint32_t *onset_flag) noexcept;
uint32_t semaphore_relmem(SysMsg *slot) noexcept;
MSG *PXR_read(uint8_t module, int nowait) noexcept;
