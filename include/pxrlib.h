/*
 * libpxrlib - zero-copy message passing between the processes of one Linux host.
 *
 * Modules are addressed by a one-byte id and own a System V message queue.
 * Messages live in fixed-size buffers in shared-memory partitions; only a
 * 12-byte reference {buffer index, partition} travels through a queue.
 *
 * This header is the whole public interface. It compiles as C11 and as C++.
 * Result conventions: 0 is success, 1 the usual failure, -1 (0xFFFFFFFF) a bad
 * argument or an absent object; functions that yield a pointer return null.
 */
#ifndef PXRLIB_H
#define PXRLIB_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(PXRLIB_BUILDING)
#define PXR_API __attribute__((visibility("default")))
#else
#define PXR_API
#endif

#ifdef __cplusplus
#define PXR_NOEXCEPT noexcept
#define PXR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define PXR_NOEXCEPT
#define PXR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ======================================================================== */
/* Result codes                                                             */
/* ======================================================================== */

/* Names for the numeric results listed with each function; the values are fixed. PXR_BAD is
 * an int: compare int and int32_t results with it, and uint32_t results with PXR_BAD_U32
 * (the same bits), so that neither comparison mixes signedness. */
#define PXR_OK 0                /**< success */
#define PXR_FAIL 1              /**< the usual failure */
#define PXR_BAD (-1)            /**< bad argument or absent object (int results) */
#define PXR_BAD_U32 0xFFFFFFFFu /**< PXR_BAD where the result is uint32_t */

/* PXR_init */
#define PXR_INIT_LOCK_EXISTS 1      /**< create refused: a system lock exists */
#define PXR_INIT_NO_COMMON_AREA 3   /**< the common area is unavailable */
#define PXR_INIT_LOCK_FAILED 5      /**< the system lock could not be taken */
#define PXR_INIT_ALREADY_ATTACHED 6 /**< this process is attached already */
#define PXR_INIT_REFUSED 8          /**< the environment refuses attachers */
#define PXR_INIT_NOT_RUNNING 9      /**< the environment is not running yet */

/* PXR_pending_msgs, PXR_lastpid (PXR_BAD: the module has no queue) */
#define PXR_QUEUE_ALIAS (-2)       /**< the module shares another module's queue */
#define PXR_QUEUE_STAT_FAILED (-4) /**< the queue's status could not be read */

/* File handle table */
#define PXR_FILE_TABLE_FULL (-2) /**< PLAT_open: all 16 handles in use */
#define PXR_FILE_EOF (-3)        /**< PLAT_read: end of file, nothing read */
#define PXR_FILE_BAD_ORIGIN (-2) /**< PLAT_seek: origin not 0, 1 or -1 */
#define PXR_FILE_BAD_HANDLE (-4) /**< PLAT_seek: handle outside the table or free */

/* ======================================================================== */
/* Records shared between processes. Their layouts are binding.             */
/* ======================================================================== */

/** Local time, broken down; usec is 0 when filled from a whole-second time. */
typedef struct Timestamp {
    uint32_t year;   /**< full year, e.g. 2026 */
    uint32_t month;  /**< 1..12 */
    uint32_t day;    /**< 1..31 */
    uint32_t hour;   /**< 0..23 */
    uint32_t minute; /**< 0..59 */
    uint32_t second; /**< 0..60 */
    uint32_t usec;   /**< 0..999999 */
} Timestamp;

/** One entry of the process table: a recorded process of the environment. */
typedef struct ProcessEntry {
    int32_t pid;
    char name[52]; /**< program name, at most 49 characters, NUL-terminated */
} ProcessEntry;

/** One entry of the module queue table, indexed by module id 0..254. */
typedef struct ModuleQueueEntry {
    uint32_t msqid;       /**< System V queue id, 0xFFFFFFFF = no queue */
    uint32_t alias_of;    /**< 256 = own queue, else the module whose queue is shared */
    uint32_t queue_flags; /**< bit 0: the module owns the queue and may receive */
} ModuleQueueEntry;

#define PXR_MAX_PROCESSES 250
#define PXR_MODULE_COUNT 255
#define PXR_COUNTER_COUNT 20
#define PXR_NO_QUEUE 0xFFFFFFFFu
#define PXR_NO_INDEX 0xFFFFFFFFu

/* Bits of CommonArea.flags */
#define CA_CREATED 0x1u
#define CA_NO_ATTACH 0x2u
#define CA_NO_TRAFFIC 0x4u
#define CA_RUNNING 0x8u
#define CA_CLOSING 0x10u

/** The common area: the one record every attached process maps (17536 bytes). Each field says
 *  who writes it and how; "creator" fields are written once by PXR_init in create mode under
 *  the system lock, before any other process can attach, and only read afterwards. */
typedef struct CommonArea {
    uint32_t flags; /**< creator; then CA_RUNNING by PXR_wait_exit or PXR_admit_attachers
                       (atomic OR) and CA_CLOSING with CA_RUNNING cleared by PXR_close (one
                       compare-and-swap); no lock */
    uint32_t congestion_module; /**< creator */
    uint32_t error_print;       /**< creator */
    uint32_t tick;              /**< SYS_timer_tick, atomic add; no lock */
    int32_t process_count;      /**< SYS_add_pid and its kin, under the system lock */
    ProcessEntry processes[PXR_MAX_PROCESSES]; /**< as process_count; PXR_close reads them
                                                  without the lock */
    uint32_t interface_version;                /**< creator */
    uint32_t internal_errors; /**< a send that failed for good: plain increment, no lock (two
                                 at the same instant may count once) */
    uint32_t atomic_mode;     /**< creator */
    ModuleQueueEntry module_queues[PXR_MODULE_COUNT]; /**< IPC_create, IPC_attach, IPC_delete
                                                         (the loader, a bridge for its routes)
                                                         and PXR_close; plain stores, no lock;
                                                         the transport reads them as they are */
    char platform[320];                               /**< creator */
    Timestamp restart_time;                           /**< creator */
    int32_t fatal_semid;                              /**< creator */
    uint32_t fatal_code;   /**< PXR_fatal_event: compare-and-swap from 0, the first code stays */
    int32_t exit_status;   /**< the fatal paths (-1 send, -2 allocation) and applications: plain
                              stores; the loader reads it when the wait ends */
    uint32_t fatal_action; /**< creator */
    uint32_t counters[PXR_COUNTER_COUNT]; /**< PXR_preset_counter, PXR_increment_counter:
                                              atomic; no lock */
} CommonArea;

/** Header of a partition of message buffers (116 bytes). The geometry and the congestion
 *  levels are written once by PXR_open_partition in create mode, before the environment runs.
 *  The free list and the statistics are written by the pools: in the locked form under the
 *  partition lock, in the lock-free form with compare-and-swap and atomic adds; the
 *  since-reset statistics also by an attach with PXR_INIT_RESET_STATS, without a lock. */
typedef struct PartitionHeader {
    uint32_t param_size;      /**< create */
    uint32_t free_head;       /**< pools: plain index (locked form) or tagged index (atomic form) */
    uint32_t free_tail;       /**< pools, as free_head */
    int32_t num_msgs;         /**< create */
    uint32_t alloc_count;     /**< pools: buffers allocated now */
    uint32_t max_alloc;       /**< pools: highest alloc_count */
    uint32_t max_alloc_reset; /**< pools; zeroed by a reset attach */
    Timestamp max_alloc_time; /**< pools, when max_alloc_reset rose; zeroed by a reset attach */
    uint32_t out_of_msg;      /**< pools: allocations that found no buffer */
    uint32_t cong_status;     /**< pools: 1 from onset to abate; the allocation front end */
    uint32_t cong_onset;      /**< create */
    uint32_t cong_abate;      /**< create */
    uint32_t cong_module;     /**< create: copied from the common area */
    uint32_t cong_count;      /**< pools: congestion onsets */
    uint32_t cong_count_reset; /**< pools; zeroed by a reset attach */
    Timestamp cong_onset_time; /**< pools, at each onset; zeroed by a reset attach */
    uint32_t stride;           /**< create: bytes per buffer slot, param_size + 72 */
} PartitionHeader;

/** System header of a buffer slot (44 bytes); the MSG follows directly. */
typedef struct SysMsg {
    uint32_t index;
    int32_t partition;
    uint32_t allocated;
    int32_t getmem_pid;
    int32_t relmem_pid;
    int32_t receive_pid;
    int32_t send_pid;
    uint32_t next;
    uint32_t next_partition;
    uint32_t getmem_count;
    uint32_t front_guard; /**< 0xF0124321; the slot ends with the rear guard 0xCCDDBB11 */
} SysMsg;

#define PXR_FRONT_GUARD 0xF0124321u
#define PXR_REAR_GUARD 0xCCDDBB11u
#define PXR_SYSMSG_SIZE 44u
#define PXR_SLOT_OVERHEAD 72u

/** The message record handed to users: a 24-byte header, then the parameters. */
typedef struct MSG {
    uint16_t type;       /**< bit 14 (0x4000): a request that asks to be confirmed */
    uint16_t id;         /**< chosen by the builder (congestion messages: the partition) */
    uint8_t src;         /**< sending module, set by the sender */
    uint8_t dst;         /**< destination module, set by the sender */
    uint16_t reply_mask; /**< bit (module id & 15) set: that module wants an answer */
    uint8_t msg_class;   /**< 0 from getm; relm releases with pool class msg_class & 0xC7 */
    uint8_t status;      /**< status or error code */
    uint8_t reserved1[2];
    uint32_t info;     /**< auxiliary word; management messages carry the tick */
    uint32_t instance; /**< PXR_set_instance, PXR_get_instance */
    uint16_t len;      /**< parameter bytes in use */
    uint8_t reserved2[2];
    uint8_t param[]; /**< as long as the partition's parameter size */
} MSG;

/** The library's own state beside the common area (64 bytes at the start of the segment of key
 *  PXR_KEY_EXTENSION, which goes on with the receive landings): what its extensions share
 *  across processes and no other record has a field for. Created with
 *  the common area (an environment without it works, without these extensions) and removed
 *  with it. */
typedef struct ExtensionArea {
    uint32_t version; /**< PXR_EXTENSION_VERSION; written once by the creator, under the system
                         lock, before any process can attach */
    uint32_t receive_spin_us; /**< default receive spin window of the processes that attach;
                                 written by the creator (PXR_set_default_receive_spin), read
                                 at attach; no lock */
    uint32_t dropped_records; /**< queue records that receives dropped (naming no buffer of a
                                 partition that could be attached); atomic add by receivers */
    uint32_t reserved[13];    /**< zero */
} ExtensionArea;

/** A receive landing: where one receiving thread's queue record arrives, in shared memory, so
 *  that between leaving its queue and being stamped received a buffer is always seen somewhere.
 *  The extension segment holds PXR_RECEIVE_LANDINGS of them right after its ExtensionArea.
 *  A reclaim charges a buffer named by a landing to the landing's owner: never robbing a live
 *  receiver, and returning what a receiver killed in that window held. */
typedef struct ReceiveLanding {
    int32_t owner;     /**< pid of the process whose thread claimed it, 0 when free; claimed by
                          compare-and-swap from 0, or from a pid that has ended while the
                          landing is empty */
    uint32_t ring_ref; /**< ring queues: the reference being taken, {index | partition << 16},
                          written by the owner before it claims the ring position and set to
                          PXR_NO_LANDING after it stamped the buffer received */
    int64_t mtype;     /**< kernel queues: the record's type; msgrcv writes the record here,
                          and the owner sets 0 after it stamped the buffer (not 0: a record
                          has landed) */
    uint16_t index;    /**< kernel queues: the record's buffer index (PXR_NO_LANDING's low
                          half when none) */
    uint16_t partition;
    uint8_t rest[8];      /**< the record's other bytes */
    uint32_t reserved[9]; /**< zero: a landing fills a cache line, so that receivers never
                             write each other's line */
} ReceiveLanding;

/** Groups: a module id that names up to PXR_GROUP_MEMBERS member modules, each with a queue of
 *  its own; one send puts a reference to the same buffer into every member's queue. The
 *  segment of key PXR_KEY_GROUPS, made by the first PXR_group_create, holds a GroupArea and
 *  then one ShareRecord per buffer of partition 0, then of partition 1 (as many as the area's
 *  num_msgs say). Readers of a shared buffer must not write it. */
#define PXR_GROUP_MEMBERS 16
typedef struct GroupRecord {
    uint8_t count; /**< members, 1..16; 0: the id names no group */
    uint8_t
        all_or_nothing; /**< 1: a send reaches every member or none (PXR_group_all_or_nothing) */
    uint8_t members[PXR_GROUP_MEMBERS]; /**< member module ids */
    uint8_t reserved[2];
    uint32_t sends;                      /**< group sends that reached at least one member */
    uint32_t dropped[PXR_GROUP_MEMBERS]; /**< per member: shares dropped, its queue full */
} GroupRecord;
typedef struct GroupArea {
    uint32_t version;     /**< PXR_GROUP_VERSION */
    uint32_t num_msgs[2]; /**< buffers covered per partition (the partitions when it was made) */
    uint32_t reserved;
    GroupRecord groups[PXR_MODULE_COUNT];
} GroupArea;
/** Who holds the shares of one buffer sent to a group. holder: 0 a share whose reference is
 *  still in a member's queue, a pid a share that process received, PXR_NO_HOLDER none. */
typedef struct ShareRecord {
    uint32_t count; /**< shares held; 0: not shared (a plain buffer) */
    int32_t holder[PXR_GROUP_MEMBERS];
} ShareRecord;
#define PXR_GROUP_VERSION 1u
#define PXR_NO_HOLDER (-1)

#define PXR_EXTENSION_VERSION 3u
#define PXR_RECEIVE_LANDINGS 256
#define PXR_NO_LANDING 0xFFFFFFFFu

#define PXR_MSG_HEADER_SIZE 24u
#define PXR_MSG_REQUEST 0x4000u

#define PXR_OFFSETOF(type, field) offsetof(type, field)

PXR_STATIC_ASSERT(sizeof(Timestamp) == 28, "Timestamp is 28 bytes");
PXR_STATIC_ASSERT(sizeof(ProcessEntry) == 56, "ProcessEntry is 56 bytes");
PXR_STATIC_ASSERT(sizeof(ModuleQueueEntry) == 12, "ModuleQueueEntry is 12 bytes");
PXR_STATIC_ASSERT(sizeof(CommonArea) == 17536, "CommonArea is 17536 bytes");
PXR_STATIC_ASSERT(PXR_OFFSETOF(CommonArea, processes) == 20, "processes at 20");
PXR_STATIC_ASSERT(PXR_OFFSETOF(CommonArea, interface_version) == 14020, "version at 14020");
PXR_STATIC_ASSERT(PXR_OFFSETOF(CommonArea, module_queues) == 14032, "queues at 14032");
PXR_STATIC_ASSERT(PXR_OFFSETOF(CommonArea, platform) == 17092, "platform at 17092");
PXR_STATIC_ASSERT(PXR_OFFSETOF(CommonArea, restart_time) == 17412, "restart_time at 17412");
PXR_STATIC_ASSERT(PXR_OFFSETOF(CommonArea, fatal_semid) == 17440, "fatal_semid at 17440");
PXR_STATIC_ASSERT(PXR_OFFSETOF(CommonArea, counters) == 17456, "counters at 17456");
PXR_STATIC_ASSERT(sizeof(PartitionHeader) == 116, "PartitionHeader is 116 bytes");
PXR_STATIC_ASSERT(PXR_OFFSETOF(PartitionHeader, max_alloc_reset) == 24, "max_alloc_reset at 24");
PXR_STATIC_ASSERT(PXR_OFFSETOF(PartitionHeader, max_alloc_time) == 28, "max_alloc_time at 28");
PXR_STATIC_ASSERT(PXR_OFFSETOF(PartitionHeader, out_of_msg) == 56, "out_of_msg at 56");
PXR_STATIC_ASSERT(PXR_OFFSETOF(PartitionHeader, cong_module) == 72, "cong_module at 72");
PXR_STATIC_ASSERT(PXR_OFFSETOF(PartitionHeader, cong_count_reset) == 80, "cong_count_reset at 80");
PXR_STATIC_ASSERT(PXR_OFFSETOF(PartitionHeader, cong_onset_time) == 84, "cong_onset_time at 84");
PXR_STATIC_ASSERT(PXR_OFFSETOF(PartitionHeader, stride) == 112, "stride at 112");
PXR_STATIC_ASSERT(sizeof(SysMsg) == 44, "SysMsg header is 44 bytes");
PXR_STATIC_ASSERT(PXR_OFFSETOF(SysMsg, receive_pid) == 20, "receive_pid at 20");
PXR_STATIC_ASSERT(PXR_OFFSETOF(SysMsg, send_pid) == 24, "send_pid at 24");
PXR_STATIC_ASSERT(PXR_OFFSETOF(SysMsg, getmem_count) == 36, "getmem_count at 36");
PXR_STATIC_ASSERT(PXR_OFFSETOF(SysMsg, front_guard) == 40, "front_guard at 40");
PXR_STATIC_ASSERT(sizeof(ExtensionArea) == 64, "ExtensionArea is 64 bytes");
PXR_STATIC_ASSERT(PXR_OFFSETOF(ExtensionArea, dropped_records) == 8, "dropped_records at 8");
PXR_STATIC_ASSERT(sizeof(ReceiveLanding) == 64, "ReceiveLanding is 64 bytes");
PXR_STATIC_ASSERT(PXR_OFFSETOF(ReceiveLanding, mtype) == 8, "mtype at 8");
PXR_STATIC_ASSERT(sizeof(GroupRecord) == 88, "GroupRecord is 88 bytes");
PXR_STATIC_ASSERT(PXR_OFFSETOF(GroupRecord, dropped) == 24, "dropped at 24");
PXR_STATIC_ASSERT(sizeof(GroupArea) == 16 + 88 * 255, "GroupArea is 22456 bytes");
PXR_STATIC_ASSERT(sizeof(ShareRecord) == 68, "ShareRecord is 68 bytes");
PXR_STATIC_ASSERT(sizeof(MSG) == 24, "MSG header is 24 bytes");
PXR_STATIC_ASSERT(PXR_OFFSETOF(MSG, msg_class) == 8, "msg_class at 8");
PXR_STATIC_ASSERT(PXR_OFFSETOF(MSG, info) == 12, "info at 12");
PXR_STATIC_ASSERT(PXR_OFFSETOF(MSG, instance) == 16, "instance at 16");
PXR_STATIC_ASSERT(PXR_OFFSETOF(MSG, len) == 20, "len at 20");
PXR_STATIC_ASSERT(PXR_OFFSETOF(MSG, param) == 24, "param at 24");

/* ======================================================================== */
/* Fixed System V keys of the environment's objects (one semaphore per set)  */
/* ======================================================================== */

#define PXR_KEY_SYSTEM_LOCK 0xE0410
#define PXR_KEY_EXIT_SEM 0xE0411
#define PXR_KEY_MSG_ARRAY 0xE0412        /**< + partition */
#define PXR_KEY_PARTITION_HEADER 0xE0414 /**< + partition */
#define PXR_KEY_PARTITION_LOCK 0xE0416   /**< + partition */
#define PXR_KEY_COMMON_AREA 0xE0418
#define PXR_KEY_FATAL_SEM 0xE0419
#define PXR_KEY_MODULE_QUEUE 0xE0211 /**< + module id 0..254 */
#define PXR_KEY_EXTENSION 0xE041A    /**< the ExtensionArea */
/** The ring queues' shared memory, present only in an environment made with PXR_ring_queues. */
#define PXR_KEY_RING_QUEUES 0xE0440
/** The groups and the shares of buffers sent to them, present only once a group was made. */
#define PXR_KEY_GROUPS 0xE0441

/* ======================================================================== */
/* Flags                                                                    */
/* ======================================================================== */

#define PXR_INIT_CREATE 0x1u      /**< create the environment (else attach) */
#define PXR_INIT_ERROR_PRINT 0x2u /**< print transport diagnostics */
#define PXR_INIT_ATOMIC 0x4u      /**< lock-free buffer pools */
#define PXR_INIT_RESET_STATS 0x8u /**< attach: reset the since-reset statistics */
#define PXR_INIT_NO_ATTACH 0x10u  /**< refuse every later attach */
/* clang-format off */
#define PXR_INIT_FATAL_ACTION(a) (((uint32_t)(a) & 0xFu) << 28) /**< 1: terminate on fatal failure */
/* clang-format on */

#define PXR_OPEN_CREATE 0x1 /**< PXR_open_partition: create (else attach) */
#define PXR_OPEN_ATOMIC 0x4 /**< lay the free list out in the lock-free form */

/* ======================================================================== */
/* Exported per-process data                                                */
/* ======================================================================== */

/** 1 while this process has no usable environment; 0 after a successful attach. */
extern PXR_API int32_t PXR_sys_failure;
/** Points at the 20 shared counters of the attached common area. */
extern PXR_API uint32_t *counter_ptr[PXR_COUNTER_COUNT];
/** Attached partition headers; null = partition not attached in this process. */
extern PXR_API PartitionHeader *partition_hdr[2];
/** Attached message arrays; null = partition not attached in this process. */
extern PXR_API uint8_t *partition_msgarray[2];
/** Memory dump stream (binary); null until a dump is created or opened. */
extern PXR_API FILE *mdump_handle;
/** Text dump stream; null until a dump is created. */
extern PXR_API FILE *tdump_handle;

/* ======================================================================== */
/* Lock protocol and IPC wrappers                                           */
/* ======================================================================== */

/** Take a lock semaphore (wait for 0, then +1, SEM_UNDO). 0 held; 1 failed (the process is then
 *  detached and PXR_sys_failure set). Interrupted waits are repeated. */
PXR_API int _grab_semaphore(int semid) PXR_NOEXCEPT;
/** Give a lock back (-1, IPC_NOWAIT|SEM_UNDO). 0 released; 1 failed (detached as above): a
 *  lock not held fails at once, and a held lock whose give-back fails is left free. */
PXR_API int _release_semaphore(int semid) PXR_NOEXCEPT;
/** Map a shared-memory segment; with create, an existing segment under key is removed first.
 *  Stores the id (or -1) through id_out. Returns the address or null. */
PXR_API void *SYS_alloc_shm(int *id_out, uint32_t size, int key, int create) PXR_NOEXCEPT;
/** Detach a segment and, with remove, remove it. 0 done; 1 failed. */
PXR_API int SYS_free_shm(void *address, int id, int remove) PXR_NOEXCEPT;
/** Get a one-semaphore set (created with create). Stores the id (or -1). 0 done; 1 failed. */
PXR_API int sema_open(int *id_out, int key, int create) PXR_NOEXCEPT;
/** With remove, remove the set: 0 done, 1 failed. Without remove: nothing, 0. */
PXR_API int sema_close(int semid, int remove) PXR_NOEXCEPT;
/** Add 1 to the semaphore. 0 done; 1 failed. */
PXR_API int sema_give(int semid) PXR_NOEXCEPT;
/** Get the exit semaphore with the given permission (950 create, 438 open). Id or -1. */
PXR_API int TSEMA_open(int permission) PXR_NOEXCEPT;
/** Remove a semaphore set. 0 done; 1 failed. */
PXR_API int TSEMA_delete(int semid) PXR_NOEXCEPT;

/* ======================================================================== */
/* Environment creation, attachment and detach                              */
/* ======================================================================== */

/** Create (PXR_INIT_CREATE) or attach to the environment. Results: 0 created or attached;
 *  1 create refused, a system lock exists; 3 common area unavailable; 5 system lock failed;
 *  6 already attached; 8 attach refused (no-attach environment); 9 not running yet. */
PXR_API int PXR_init(uint32_t flags, uint32_t reserved, uint32_t congestion_module) PXR_NOEXCEPT;
/** Attach, retrying every 100 ms (152 tries) while the environment is not yet running.
 *  0 attached, else the last PXR_init result. */
PXR_API int PXR_link(void) PXR_NOEXCEPT;
/** 0 when the environment is usable by this process, else 1 (attaches lazily). */
PXR_API int PXR_detect(void) PXR_NOEXCEPT;
/** Detach this process from everything, removing nothing. Always 0. */
PXR_API int PXR_unlink(void) PXR_NOEXCEPT;
/** The common area this process is attached to, or null; no attach is attempted. For the
 *  environment's own tools (a loader, a bridge, a monitor), which read it and write the fields
 *  whose owners they are. */
PXR_API CommonArea *PXR_common_area(void) PXR_NOEXCEPT;
/** The shared-memory id of that common area, or -1 when not attached. */
PXR_API int32_t PXR_common_area_id(void) PXR_NOEXCEPT;
/** Admits attachers: sets CA_RUNNING, as PXR_wait_exit does first, for a creator that waits for
 *  the end in its own way. 0 done; 1 the caller did not create the environment it is attached
 *  to. */
PXR_API int PXR_admit_attachers(void) PXR_NOEXCEPT;

/** The creator's choice of who may use the environment: the permission bits 0600 (its user
 *  only), 0660 (its user and group) or 0666 (every local user, the default of a standard
 *  build) of every IPC object. Called by the process that created the environment, between
 *  PXR_init in create mode and its first object (partition, queue or ring queues); it changes
 *  the objects PXR_init made and every later one takes the mode. With 0600 or 0660 each object
 *  opened is checked with IPC_STAT (owner and creator this user, or with 0660 the group; no
 *  wider mode) and a foreign one is refused, in this process and in every process that
 *  attaches. 0 done; -1 another mode; 1 not the creator, or too late. */
PXR_API int PXR_set_access(uint32_t mode) PXR_NOEXCEPT;
/** The permission bits of the attached environment's common area (the creator's choice),
 *  -1 when this process is not attached. */
PXR_API int32_t PXR_access(void) PXR_NOEXCEPT;

/* ======================================================================== */
/* Shutdown and exit wait                                                   */
/* ======================================================================== */

/** Loader: mark the environment running and block until a termination request.
 *  Returns the recorded exit status, or 1 when the exit semaphore cannot be created. */
PXR_API int PXR_wait_exit(void) PXR_NOEXCEPT;
/** One wait of at most timeout_ms (0: only a look) for a termination request, for a creator that
 *  looks after its processes while it waits (it admits attachers with PXR_admit_attachers and
 *  makes the exit semaphore, TSEMA_open with IPC_CREAT, before it starts them). 0 a termination
 *  was requested (the exit semaphore was posted, or is gone); 1 the time is up; 2 a signal
 *  ended the wait; -1 not attached. The semaphore is not removed. */
PXR_API int PXR_wait_exit_for(uint32_t timeout_ms) PXR_NOEXCEPT;
/** Wake the loader, wait 200 ms and close the environment. 0; 1 when it cannot attach. */
PXR_API int PXR_terminate(void) PXR_NOEXCEPT;
/** Stop the recorded processes and remove the objects of the environment this process maps
 *  (queues in the table, fatal-event semaphore, common area, system lock, attached partitions);
 *  leftovers are `pxr clean`'s. Always 0. */
PXR_API int PXR_close(void) PXR_NOEXCEPT;
/** Every step of PXR_close but the signals, in its order: marks the environment closing and
 *  removes the same objects, sending nothing to the process table. For a closer that has
 *  stopped the environment's processes itself, by handles it verified (the pxr command), since
 *  the table lives in shared memory that others may write. Always 0. */
PXR_API int PXR_close_without_signals(void) PXR_NOEXCEPT;

/* ======================================================================== */
/* Process table, spawning and signals                                      */
/* ======================================================================== */

/** Record a process (name cut to 49 characters). 0 done; 1 table full, lock failed, or
 *  pid <= 0 (such a pid would make kill signal a whole process group). Caller attached. */
PXR_API int SYS_add_pid(int32_t pid, const char *name) PXR_NOEXCEPT;
/** As SYS_add_pid, waiting for the system lock at most timeout_ms: 0 recorded; 1 refused or
 *  failed (as SYS_add_pid); 2 the lock stayed held, nothing recorded. For a loader that must
 *  not stall while another process holds the lock. */
PXR_API int SYS_add_pid_within(int32_t pid, const char *name, uint32_t timeout_ms) PXR_NOEXCEPT;
/** The entry of old_pid takes new_pid (a restarted process takes over its predecessor's
 *  entry), under the system lock waited for at most timeout_ms. 0 done; 1 no such entry, a pid
 *  of 0 or below, not attached, or a lock failure; 2 the lock stayed held. */
PXR_API int SYS_replace_pid(int32_t old_pid, int32_t new_pid, uint32_t timeout_ms) PXR_NOEXCEPT;
/** Takes every entry of pid out of the process table (the rest keep their order), under the
 *  system lock waited for at most timeout_ms. 0 done; 1 no such entry, not attached, or a lock
 *  failure; 2 the lock stayed held. */
PXR_API int SYS_remove_pid(int32_t pid, uint32_t timeout_ms) PXR_NOEXCEPT;
/** Fork and execvp argv[0] (along PATH), recording the child. The fork result goes to
 *  pid_out. 0 done; 1 fork failed or the entry could not be added. Caller attached. */
PXR_API int SYS_spawn_process(int reserved, char *const argv[], int32_t *pid_out) PXR_NOEXCEPT;
/** SIGTERM every recorded process, sleep one whole second, SIGKILL them. Always 0; unattached,
 *  it signals nothing. Every recorded pid goes to kill unchanged, in table order: 0 and negative
 *  values address process groups, and whoever can write the common area aims these signals
 *  (the pxr command signals only processes it verified: see PXR_close_without_signals). */
PXR_API int SYS_delete_pids(void) PXR_NOEXCEPT;
/** Install handler for event 1 SIGTERM, 2 SIGUSR1, 3 SIGUSR2, 4 SIGALRM. Returns a token to
 *  give back with SYS_free_signal, or null for another event or a failure. */
PXR_API void *SYS_add_signal(void (*handler)(int), int32_t event) PXR_NOEXCEPT;
/** Free a token of SYS_add_signal; the handler stays installed. Always 0. */
PXR_API int SYS_free_signal(void *token) PXR_NOEXCEPT;

/* ======================================================================== */
/* Fatal events, tick, counters, version                                    */
/* ======================================================================== */

/** Record code as the fatal code unless one is recorded, then wake the waiters. 0.
 *  Caller attached. */
PXR_API int PXR_fatal_event(int32_t code) PXR_NOEXCEPT;
/** Block until a fatal event is recorded (code stored) or the environment closes (code 1).
 *  0 done; 1 cannot attach; -1 other semaphore failure. */
PXR_API int PXR_block_event(uint32_t *code_out) PXR_NOEXCEPT;
/** Advance the shared tick by one. 0. Caller attached. */
PXR_API int SYS_timer_tick(void) PXR_NOEXCEPT;
/** The shared tick; 0 when the process cannot attach. */
PXR_API uint32_t PXR_get_time(void) PXR_NOEXCEPT;
/** Store value in shared counter index (0..19). 0; -1 bad index. Caller attached. */
PXR_API int PXR_preset_counter(int32_t index, uint32_t value) PXR_NOEXCEPT;
/** Atomically add 1 to counter index and store the new value. 0; -1 bad index. */
PXR_API int PXR_increment_counter(int32_t index, uint32_t *value_out) PXR_NOEXCEPT;
/** Interface version: stores 1 and 66. 0. */
PXR_API int PXR_get_version(uint32_t *major_out, uint32_t *minor_out) PXR_NOEXCEPT;
/** Does nothing. 0. */
PXR_API int PXR_debug_info(void) PXR_NOEXCEPT;

/* ======================================================================== */
/* Status report                                                            */
/* ======================================================================== */

/** Print the system status and the figures of each partition on standard output. 0. */
PXR_API uint32_t PXR_get_status(void) PXR_NOEXCEPT;
/** Print a trace line for every allocated buffer on standard output. 0. */
PXR_API uint32_t PXR_show_msgs(void) PXR_NOEXCEPT;

/* ======================================================================== */
/* Partitions                                                               */
/* ======================================================================== */

/** Create (PXR_OPEN_CREATE) or attach partition 0 or 1. 0 opened; 1 failed (nothing left
 *  behind by this call). */
PXR_API uint32_t PXR_open_partition(int32_t partition, int32_t num_msgs, uint32_t param_size,
                                    uint32_t onset, uint32_t abate, int32_t flags) PXR_NOEXCEPT;
/** The MSG of slot index of an attached partition. No check. */
PXR_API MSG *index_to_msg(int32_t partition, uint32_t index) PXR_NOEXCEPT;
/** The slot (system header) of index in an attached partition. No check. */
PXR_API SysMsg *index_to_partition_sysmsg(int32_t partition, uint32_t index) PXR_NOEXCEPT;
/** Store the buffer reference of msg. 0. No check. */
PXR_API uint32_t msg_to_index(MSG *msg, uint32_t *partition_out, uint32_t *index_out) PXR_NOEXCEPT;
/** The parameter size of msg's partition. No check. */
PXR_API uint32_t PXR_parameter_size(MSG *msg) PXR_NOEXCEPT;
/** Store buffer count, parameter size and congestion status (null outputs skipped).
 *  0; 0xFFFFFFFF bad or absent partition, or cannot attach. */
PXR_API uint32_t PXR_partition_info(uint32_t partition, uint32_t *num_msgs_out,
                                    uint32_t *param_size_out,
                                    uint32_t *cong_status_out) PXR_NOEXCEPT;

/* ======================================================================== */
/* Buffer pools and allocation                                              */
/* ======================================================================== */

/** Build a congestion message (type 1, id = partition, status) in msg and send it to module.
 *  0 sent; 1 not sent. */
PXR_API uint32_t update_congestion(MSG *msg, int32_t status, int32_t partition,
                                   int32_t module) PXR_NOEXCEPT;
/** Lock-free pool: take a buffer for size parameter bytes. Slot or null. */
PXR_API SysMsg *atomic_getmem(uint32_t size, uint32_t *onset_flag) PXR_NOEXCEPT;
/** Lock-free pool: give a buffer back (or send it as the abate message). 0. */
PXR_API uint32_t atomic_relmem(SysMsg *slot) PXR_NOEXCEPT;
/** Allocate a buffer of at least *size parameter bytes; *size becomes the partition's
 *  parameter size. Null when not attached, traffic is forbidden, pool_class is outside 0..7,
 *  or no buffer can be had (fatal event 2). */
PXR_API MSG *PXR_getmem(int32_t pool_class, uint32_t *size) PXR_NOEXCEPT;
/** As PXR_getmem, for a process that must never end the environment (a bridge, a monitor):
 *  when no partition is large enough or none has a free buffer it raises no fatal event and
 *  terminates nothing. 0 with *out the MSG and *size its parameter size; 1 no buffer could be
 *  had; -1 refused (a null argument, a bad pool class, traffic forbidden, not attached and
 *  cannot attach), *out null in both failures. */
PXR_API int PXR_try_getmem(int32_t pool_class, uint32_t *size, MSG **out) PXR_NOEXCEPT;
/** As PXR_try_getmem, but while the partition that fits size has no free buffer it waits up to
 *  timeout_ms for one, without CPU, and wakes as soon as a buffer of that partition is
 *  released. 0 got (*out the MSG, *size its parameter size); 1 the time is up, or no partition
 *  is large enough (at once: no release can help); -1 refused as PXR_try_getmem refuses.
 *  Raises no fatal event and terminates nothing. A release pays for the wake-up only while
 *  somebody waits. */
PXR_API int PXR_timed_getmem(int32_t pool_class, uint32_t *size, MSG **out,
                             uint32_t timeout_ms) PXR_NOEXCEPT;
/** Release a buffer. 0 released or consumed as the abate message; 1 otherwise (a buffer that
 *  is not allocated, e.g. a second release, is refused with 1 and left untouched). */
PXR_API uint32_t PXR_relmem(int32_t pool_class, MSG *msg) PXR_NOEXCEPT;
/** The congestion status (0 or 1) of a partition; 0xFFFFFFFF when not attached or absent. */
PXR_API uint32_t PXR_partition_congestion(uint32_t partition) PXR_NOEXCEPT;

/* ======================================================================== */
/* Module queue table                                                       */
/* ======================================================================== */

/** Give module its own queue (flags bit 0: create anew, else open an existing one).
 *  0 done; 1 refused or failed. Caller attached. */
PXR_API int IPC_create(uint32_t module, uint32_t flags) PXR_NOEXCEPT;
/** Remove module's queue and clear its entry. Always 0. Caller attached. */
PXR_API int IPC_delete(uint32_t module) PXR_NOEXCEPT;
/** Point module at target's queue. 0 done; 1 target has no queue. Caller attached. */
PXR_API int IPC_attach(uint32_t module, uint32_t target) PXR_NOEXCEPT;
/** Withdraw an alias: when module borrows target's queue (an entry IPC_attach made), its entry
 *  gets no queue, as after IPC_delete but without removing the queue, which stays target's.
 *  0 done; 1 module is not an alias of target's queue (its own queue, another one or none),
 *  a module id above 254, or a caller that is not attached. Each word of the entry is stored
 *  atomically, so threads of other processes that read the table see a whole entry. */
PXR_API int IPC_unalias(uint32_t module, uint32_t target) PXR_NOEXCEPT;
/** 0 when both modules name the same queue; 1 otherwise. */
PXR_API int PXR_compare_moduleQs(uint32_t a, uint32_t b) PXR_NOEXCEPT;
/** References waiting in module's queue; -1 no queue; -2 alias; -4 status query failed. */
PXR_API int32_t PXR_pending_msgs(uint32_t module) PXR_NOEXCEPT;
/** Pid of the last receiver from module's queue (0 none); -1, -2, -4 as PXR_pending_msgs. */
PXR_API int32_t PXR_lastpid(uint32_t module) PXR_NOEXCEPT;

/* ======================================================================== */
/* Send and receive                                                         */
/* ======================================================================== */

/** Put a reference to msg into dst's queue without blocking. 0 sent (msg now belongs to the
 *  receiver); 1 traffic forbidden; -1 any other failure (msg still belongs to the caller).
 *  Module id 255 has no queue entry: it fails as an undefined destination does.
 *  To a group (PXR_group_create): one reference into each member's queue, one share per
 *  member reached; a member whose queue is full misses it (its share dropped and counted).
 *  0 every member got it; -1 none did (msg still the caller's; also when traffic is
 *  forbidden, so that 1 always means one member missed it); otherwise the number of members
 *  that missed it (msg belongs to those reached). A shared buffer is sent on (and
 *  answered by confirm_msg) only by the holder of its last share; with more shares out it is
 *  refused with -1. */
PXR_API int PXR_send(uint32_t dst, MSG *msg) PXR_NOEXCEPT;
/** As PXR_send, but while dst's queue is full it waits up to timeout_ms for room, without
 *  CPU, and wakes as soon as a receive of that queue makes room. 0 sent; 1 the time is up
 *  (msg still belongs to the caller; nothing is counted and nothing terminated) or traffic is
 *  forbidden; -1 as PXR_send's other failures. A receive pays for the wake-up only while a
 *  sender waits.
 *  To a group it waits for room in each member's queue that is full. All-or-nothing group: 0
 *  every member got the reference; 1 the time ran out first (nothing delivered, msg still the
 *  caller's). Plain group: members with room get their reference at once, the full ones as
 *  room comes; members still full at the deadline miss it, counted as PXR_send counts them.
 *  0 at least one member got it (msg is no longer the caller's; misses show in the members'
 *  dropped counts); 1 the time ran out and no member got it (msg still the caller's). -1 for
 *  a group as PXR_send's failures, traffic forbidden included. */
PXR_API int PXR_timed_send(uint32_t dst, MSG *msg, uint32_t timeout_ms) PXR_NOEXCEPT;
/** Wait for the next message of module. Null on failure or interruption, for module 255, and
 *  for a record naming no buffer of an attached partition: a partition not attached here is
 *  attached once first; if it still cannot be, or the index lies beyond it, the record is
 *  dropped, counted (PXR_dropped_records) and, with error_print, reported in one line. */
PXR_API MSG *PXR_receive(uint32_t module) PXR_NOEXCEPT;
/** The next message of module, or null at once when there is none. */
PXR_API MSG *PXR_grab(uint32_t module) PXR_NOEXCEPT;

/* ======================================================================== */
/* Groups: one send, many receivers, one buffer                             */
/* ======================================================================== */

/** Make group a module id that names count member modules (members[0..count-1]). A send to
 *  it puts a reference to the same buffer into each member's queue; each member receives the
 *  buffer, must only read it, and gives its share back with relm; the last share returns the
 *  buffer to its partition. Called, like IPC_create, by the creating process, before the
 *  environment runs. 0 made; 1 refused: not attached or not the creator, the environment
 *  already running, group above 254 or already a queue, an alias or a group, a null
 *  members, 0 or more than 16 members, a member above 254, repeated, without a queue of its
 *  own or itself the group, or the shared memory for the groups cannot be made. */
PXR_API int PXR_group_create(uint32_t group, const uint8_t *members, uint32_t count) PXR_NOEXCEPT;
/** Make a group's sends all-or-nothing: a send reaches every member or none (-1, the sender
 *  keeps the buffer) instead of dropping the share of a member whose queue is full. 0 done;
 *  1 not a group of this environment, or the environment already running. */
PXR_API int PXR_group_all_or_nothing(uint32_t group) PXR_NOEXCEPT;
/** Shares of msg's buffer held now: 0 for a buffer that is not shared (never sent to a group,
 *  or handed on as a plain buffer); -1 for a pointer that is not a MSG of this environment. */
PXR_API int32_t PXR_message_shares(const MSG *msg) PXR_NOEXCEPT;

/* ======================================================================== */
/* Receive spin window and receive with a time limit                        */
/* ======================================================================== */

/** Set this process's receive spin window: a waiting receive first polls its queue for up to
 *  microseconds before it sleeps, which saves the wake-ups when answers come quickly. 0 (the
 *  default) turns it off. The window adapts: after a window that found nothing the next
 *  receives wait without polling (1, 2, 4 ... up to 1024 of them) and the window shrinks
 *  to a quarter, until a poll pays again. Over ring queues a receive also skips the window
 *  while the last sender into its queue ran on this process's CPU (it could not answer while
 *  this process polls). The window is the process's; what it learns is each receiving
 *  thread's own.
 *  A signal that arrives while the receive polls runs its handler but does not end the
 *  receive, just as one arriving an instant before a blocking wait; only the wait that
 *  follows returns null on a signal. Without a call, a process takes the environment's
 *  default (PXR_set_default_receive_spin) each time it attaches.
 *  0 done; -1 above 1000000 (one second), the window unchanged. */
PXR_API int PXR_set_receive_spin(uint32_t microseconds) PXR_NOEXCEPT;
/** This process's receive spin window in microseconds; 0 when off. */
PXR_API uint32_t PXR_get_receive_spin(void) PXR_NOEXCEPT;
/** The environment's default receive spin window, which every process that attaches later
 *  takes unless it set its own with PXR_set_receive_spin. For the process that created the
 *  environment (it does not attach lazily). 0 done; -1 above 1000000, for any other caller,
 *  or when the environment has no extension area. */
PXR_API int PXR_set_default_receive_spin(uint32_t microseconds) PXR_NOEXCEPT;
/** Queue records that receives have dropped in this environment because they named no buffer
 *  of a partition that could be attached; -1 when not attached (no attach is attempted) or the
 *  environment has no extension area. */
PXR_API int32_t PXR_dropped_records(void) PXR_NOEXCEPT;
/** Wait at most timeout_ms for the next message of module (after the spin window, if any).
 *  Null with errno ETIMEDOUT when the time is up; other nulls are those of PXR_receive, with
 *  errno EINTR (a signal), EBADMSG (a forged record, dropped), EINVAL (no queue of its own),
 *  EPERM (traffic forbidden), ENOENT (cannot attach) or the queue's error (EIDRM: removed).
 *  It polls with naps of up to 1 ms, so a message may be taken up to 1 ms after it came;
 *  signals are let in only inside the naps, so every handler that runs ends the wait. */
PXR_API MSG *PXR_timed_receive(uint32_t module, uint32_t timeout_ms) PXR_NOEXCEPT;

/* ======================================================================== */
/* Batches                                                                  */
/* ======================================================================== */

/* Each record of a batch means what the single call means (checks, pid stamps, counters,
 * congestion, failures); a batch call gives the result of a loop over the single call that
 * stops at its first failure, whichever queue and pool form the environment uses. */

/** Send msgs[0..count) to dst, in order. Returns how many went: msgs[0..n) now belong to their
 *  receiver, msgs[n..count) still to the caller, and msgs[n] is the first that did not go. Over
 *  ring queues the records that fit go with one reservation. result (may be null) gets what
 *  PXR_send would have returned for msgs[n]: 1 traffic forbidden, -1 any other failure (the
 *  queue still full after the retries, which count once in internal_errors, an unallocated
 *  buffer, an undefined destination after its 2 s pause), and 0 when all went. */
PXR_API uint32_t PXR_send_batch(uint32_t dst, MSG *const *msgs, uint32_t count,
                                int *result) PXR_NOEXCEPT;
/** Wait for the next message of module as PXR_receive does, then take those already waiting,
 *  up to max in all, into out. How many; 0 when PXR_receive would return null. */
PXR_API uint32_t PXR_receive_batch(uint32_t module, MSG **out, uint32_t max) PXR_NOEXCEPT;
/** As PXR_receive_batch, waiting at most timeout_ms for the first message as
 *  PXR_timed_receive does (0: take only what is waiting). 0 with errno as PXR_timed_receive
 *  sets it when nothing came. */
PXR_API uint32_t PXR_timed_receive_batch(uint32_t module, MSG **out, uint32_t max,
                                         uint32_t timeout_ms) PXR_NOEXCEPT;
/** Allocate up to count buffers of at least *size parameter bytes into out. Not
 *  all-or-nothing: returns how many were had (out[0..n) are the caller's, nothing else is
 *  taken); when fewer than count, the allocation that failed did what PXR_getmem does (fatal
 *  event 2 for want of a buffer). *size becomes the parameter size when one was had. */
PXR_API uint32_t PXR_getmem_batch(int32_t pool_class, uint32_t *size, MSG **out,
                                  uint32_t count) PXR_NOEXCEPT;
/** Release msgs[0..count) in order as PXR_relmem does, stopping at the first it refuses.
 *  How many were released (msgs[n] is the refused one). */
PXR_API uint32_t PXR_relmem_batch(int32_t pool_class, MSG *const *msgs,
                                  uint32_t count) PXR_NOEXCEPT;
/** Let each thread of this process keep up to depth buffers per partition of the lock-free
 *  pool for itself (0, the default, keeps none; at most 64). A thread's releases then go to its
 *  cache and its allocations come from it; it refills and spills half a cache at a time with
 *  one change of the free list and one of alloc_count, so the partition header is written once
 *  per depth/2 messages instead of at every allocation and release. A cached buffer counts as
 *  allocated to this process everywhere (alloc_count, the status report, PXR_show_msgs,
 *  pxr check, a reclaim after the process dies) and cannot be sent or released again. The
 *  buffers are reused last released first, not in free-list order; a thread refills its cache
 *  only while the partition stays within half its buffers allocated and is not congested, and
 *  a release in a partition beyond that half or congested gives the releasing thread's cache
 *  back first, so onset and abate come at their levels counting the cached buffers. A thread's
 *  cache goes back to the free list when the thread ends, when the process exits normally or
 *  detaches (PXR_unlink; the caches of its other threads then stay allocated to the process
 *  until it ends), and through a reclaim when the process dies; a forked child starts with
 *  none. The locked pool keeps no cache. 0 done; -1 above 64, the setting unchanged. */
PXR_API int PXR_set_buffer_cache(uint32_t depth) PXR_NOEXCEPT;
/** The buffers per partition each thread of this process may keep; 0 when off. */
PXR_API uint32_t PXR_get_buffer_cache(void) PXR_NOEXCEPT;

/* ======================================================================== */
/* Ring queues                                                              */
/* ======================================================================== */

/** Make this environment's module queues rings in shared memory instead of kernel queues: a
 *  send then makes no system call while its receiver is awake, and a waiting receive still
 *  sleeps without CPU. Every operation keeps its meaning (a full ring is a full queue). Called
 *  by the creating process after PXR_init in create mode and before its first IPC_create;
 *  capacity is the number of records per module queue, a power of two from 16 to 65536.
 *  0 done; 1 refused: not attached, the environment already running, a bad capacity, a queue
 *  already created, or the shared memory for the rings cannot be made. */
PXR_API int PXR_ring_queues(uint32_t capacity) PXR_NOEXCEPT;
/** The records per module queue when the attached environment uses rings; 0 for kernel
 *  queues; -1 when this process is not attached (no attach is attempted). */
PXR_API int32_t PXR_ring_capacity(void) PXR_NOEXCEPT;

/* ======================================================================== */
/* Message record                                                           */
/* ======================================================================== */

/** Store instance in msg. 0. */
PXR_API int PXR_set_instance(uint32_t instance, MSG *msg) PXR_NOEXCEPT;
/** The instance of msg. */
PXR_API uint32_t PXR_get_instance(const MSG *msg) PXR_NOEXCEPT;

/* ======================================================================== */
/* Management events and trace messages                                     */
/* ======================================================================== */

/** Send an error event (type 8) from src to dst. 0 built; -1 no message could be had. */
PXR_API int MNG_error_event(uint8_t code, uint16_t id, uint8_t src, uint8_t dst) PXR_NOEXCEPT;
/** As MNG_error_event, with an instance number. */
PXR_API int MNG_error_event_instance(uint8_t code, uint16_t id, uint8_t src, uint8_t dst,
                                     uint32_t instance) PXR_NOEXCEPT;
/** Send a trace event (type 3) of traced. 0 built; -1 partition 0 congested or absent, or no
 *  message; 1 no message for a record with a nonzero class. */
PXR_API int MNG_trace_event(const MSG *traced, uint8_t src, uint8_t dst) PXR_NOEXCEPT;
/** As MNG_trace_event, with an instance number. */
PXR_API int MNG_trace_event_instance(const MSG *traced, uint8_t src, uint8_t dst,
                                     uint32_t instance) PXR_NOEXCEPT;
/** Send a selective trace event (type 0x0F16) carrying status. Results as MNG_trace_event. */
PXR_API int MNG_seltrace_event(const MSG *traced, uint8_t status, uint8_t src,
                               uint8_t dst) PXR_NOEXCEPT;
/** As MNG_seltrace_event, with an instance number. */
PXR_API int MNG_seltrace_event_instance(const MSG *traced, uint8_t status, uint8_t src, uint8_t dst,
                                        uint32_t instance) PXR_NOEXCEPT;

/* ======================================================================== */
/* Message trace text                                                       */
/* ======================================================================== */

/** Write the one-line trace of msg to stream. 0. */
PXR_API int trace_msg_file(FILE *stream, const MSG *msg) PXR_NOEXCEPT;
/** Write the one-line trace of msg to standard output. 0. */
PXR_API int trace_msg(const MSG *msg) PXR_NOEXCEPT;
/** Write the trace of a whole buffer slot to stream (type 0xC002 only with show_all). 0. */
PXR_API int trace_partition_sysmsg_file(FILE *stream, const SysMsg *sysmsg,
                                        uint32_t show_all) PXR_NOEXCEPT;
/** As trace_partition_sysmsg_file, on standard output. 0. */
PXR_API int trace_partition_sysmsg(const SysMsg *sysmsg, uint32_t show_all) PXR_NOEXCEPT;

/* ======================================================================== */
/* Identity request                                                         */
/* ======================================================================== */

/** Send an identity request (type 0x6111) from src to dst. 0 sent; -1 no message or send failed. */
PXR_API int ID_req_ident(uint8_t src, uint8_t dst, uint8_t id) PXR_NOEXCEPT;
/** Write an identity into msg's 28 parameter bytes. 0 written; 1 msg->len below 28. */
PXR_API int ID_build_ident(MSG *msg, uint16_t ident_word, uint8_t ident_byte1, uint8_t ident_byte2,
                           const char *text) PXR_NOEXCEPT;

/* ======================================================================== */
/* Message helpers                                                          */
/* ======================================================================== */

/** Allocate a message with its header filled (class, status, info, instance 0). Or null. */
PXR_API MSG *getm(uint16_t type, uint16_t id, uint16_t reply_mask, uint16_t len) PXR_NOEXCEPT;
/** Release a message. 0 released; 1 not released. */
PXR_API int relm(MSG *msg) PXR_NOEXCEPT;
/** Stub: null. */
PXR_API MSG *gett(void) PXR_NOEXCEPT;
/** Stub: null. */
PXR_API MSG *getr(void) PXR_NOEXCEPT;
/** Answer msg to its sender when it asked for it, else release it. Always 0. */
PXR_API int confirm_msg(MSG *msg) PXR_NOEXCEPT;

/* ======================================================================== */
/* Time, delay and random numbers                                           */
/* ======================================================================== */

/** Seconds since the epoch (32 bits) and microseconds. 0; 1 clock unreadable. */
PXR_API uint32_t PLAT_usec_time(uint32_t *seconds, uint32_t *usec) PXR_NOEXCEPT;
/** Seconds since the epoch (32 bits) and milliseconds. 0; 1 clock unreadable. */
PXR_API uint32_t PLAT_msec_time(uint32_t *seconds, uint32_t *msec) PXR_NOEXCEPT;
/** The current local time with microseconds. 0; 1 (record unchanged). */
PXR_API uint32_t PLAT_timestamp(Timestamp *ts) PXR_NOEXCEPT;
/** Local time of calendar time t, usec 0. 0; 1 (record unchanged). */
PXR_API uint32_t PLAT_localtime(int64_t t, Timestamp *ts) PXR_NOEXCEPT;
/** Sleep ms milliseconds (a signal ends it early). 0. */
PXR_API uint32_t PLAT_delay(uint32_t ms) PXR_NOEXCEPT;
/** Pseudo-random number from lo to hi (hi + 1 on the largest draw of rand). */
PXR_API uint32_t PLAT_rand(uint32_t lo, uint32_t hi) PXR_NOEXCEPT;
/** Seed the generator; 0 seeds from the clock's milliseconds. 0. */
PXR_API uint32_t PLAT_srand(uint32_t seed) PXR_NOEXCEPT;

/* ======================================================================== */
/* File handle table                                                        */
/* ======================================================================== */

/** Open path (mode bits 0x01 read, 0x02 write, 0x04 create, 0x08 append, 0x10 exclusive;
 *  "-" is standard input or output). Handle 0..15; -1 bad mode or open failed; -2 table full. */
PXR_API int32_t PLAT_open(const char *path, uint32_t mode) PXR_NOEXCEPT;
/** Close a handle (standard input and output stay open). 0; -1 handle outside 0..15. */
PXR_API int32_t PLAT_close(int32_t handle) PXR_NOEXCEPT;
/** Read up to length bytes. Count read; -3 end of file; -1 bad handle or error. */
PXR_API int32_t PLAT_read(uint32_t handle, void *buf, uint32_t length) PXR_NOEXCEPT;
/** Write length bytes. length; -1 bad handle or error. */
PXR_API int32_t PLAT_write(uint32_t handle, const void *buf, uint32_t length) PXR_NOEXCEPT;
/** Write text without its terminator. As PLAT_write. */
PXR_API int32_t PLAT_puts(uint32_t handle, const char *text) PXR_NOEXCEPT;
/** Seek (origin 0 current, 1 start, -1 end). 0; -1 refused; -2 bad origin; -4 bad handle. */
PXR_API int32_t PLAT_seek(int32_t handle, int32_t offset, int32_t origin) PXR_NOEXCEPT;
/** The operating-system descriptor of a handle; -1 bad or free handle. */
PXR_API int32_t PLAT_os_handle(uint32_t handle) PXR_NOEXCEPT;
/** Does nothing on this platform. 0. */
PXR_API int32_t PLAT_declare_global(const void *object) PXR_NOEXCEPT;
/** remove(path): 0 or -1. */
PXR_API int32_t PLAT_remove(const char *path) PXR_NOEXCEPT;
/** rename(old_path, new_path): 0 or -1. */
PXR_API int32_t PLAT_rename(const char *old_path, const char *new_path) PXR_NOEXCEPT;

/* ======================================================================== */
/* The toolbox: short names beside other libraries                          */
/* ======================================================================== */

/* The toolbox's names are short and generic, and other libraries use some of them too
 * (libbsd's strtonum). A program that includes a header declaring one of them, such as
 * <bsd/stdlib.h>, defines PXRLIB_NO_SHORT_NAMES before including this header: the toolbox
 * declarations below are left out and the program's strtonum is the other library's, in
 * either link order. Without the macro each toolbox name is bound to libpxrlib's own version
 * (PXRLIB_1), so a program that includes this header calls libpxrlib's strtonum even when
 * another library that defines one comes first on the link line. The library itself always
 * calls its own. */
#if !defined(PXRLIB_NO_SHORT_NAMES)

/* ======================================================================== */
/* Bit fields and byte packing                                              */
/* ======================================================================== */

/** The field of w bits at position s of byte. */
PXR_API uint8_t bits_from_byte(uint8_t byte, int s, uint8_t w) PXR_NOEXCEPT;
/** Bit s of byte, 0 or 1. */
PXR_API uint32_t bit_from_byte(uint8_t byte, int s) PXR_NOEXCEPT;
/** Store the low w bits of value at position s of *target. */
PXR_API void bits_to_byte(uint8_t *target, uint32_t value, uint8_t s, uint8_t w) PXR_NOEXCEPT;
/** Set bit s of *target when value is odd, clear it when even. */
PXR_API void bit_to_byte(uint8_t *target, int value, int s) PXR_NOEXCEPT;
/** Set bit b (low 16 bits used) of array. */
PXR_API void bit_set(uint8_t *array, int b) PXR_NOEXCEPT;
/** Clear bit b (low 16 bits used) of array. */
PXR_API void bit_clear(uint8_t *array, int b) PXR_NOEXCEPT;
/** Bit b (low 16 bits used) of array, 0 or 1. */
PXR_API uint32_t bit_test(const uint8_t *array, int b) PXR_NOEXCEPT;
/** Write the low width (up to 32) bits of value LSB first from bit bitpos. */
PXR_API void packbits(uint8_t *buffer, int bitpos, uint32_t value, int width) PXR_NOEXCEPT;
/** Read width (up to 32) bits LSB first from bit bitpos. */
PXR_API uint32_t unpackbits(const uint8_t *buffer, int bitpos, int width) PXR_NOEXCEPT;
/** Store the low count (up to 4) bytes of value big-endian at offset. */
PXR_API void rpackbytes(uint8_t *buffer, int offset, uint32_t value, int count) PXR_NOEXCEPT;
/** Read count (up to 4) big-endian bytes at offset. */
PXR_API uint32_t runpackbytes(const uint8_t *buffer, int offset, int count) PXR_NOEXCEPT;

/* ======================================================================== */
/* Digit packing                                                            */
/* ======================================================================== */

/** Pack count digits (one per byte) into dst from digit position pos. 0. */
PXR_API uint32_t pack_digits(uint8_t *dst, uint16_t pos, const uint8_t *digits,
                             uint16_t count) PXR_NOEXCEPT;
/** Unpack count digits from position pos of src, one per byte into out. 0. */
PXR_API uint32_t unpack_digits(uint8_t *out, const uint8_t *src, uint16_t pos,
                               uint16_t count) PXR_NOEXCEPT;
/** Copy count (at most 30) packed digits between positions; may overlap. 0. */
PXR_API uint32_t move_digits(uint8_t *dst, uint16_t dst_pos, const uint8_t *src, uint16_t src_pos,
                             uint16_t count) PXR_NOEXCEPT;

/* ======================================================================== */
/* Hex and number text                                                      */
/* ======================================================================== */

/** Value 0..15 of a hex character; 0 for any other character. */
PXR_API uint32_t hextobin(int c) PXR_NOEXCEPT;
/** The byte written as two hex characters at text. */
PXR_API uint8_t asctobin(const char *text) PXR_NOEXCEPT;
/** Write the lower-case hex character of nibble v to out[0]. */
PXR_API void bintohex(char *out, uint8_t v) PXR_NOEXCEPT;
/** Write v as two lower-case hex characters to out[0..1], no terminator. */
PXR_API void bintoasc(char *out, uint8_t v) PXR_NOEXCEPT;
/** Parse decimal or 0x-hex text (modulo 2^32). 0 with *result set; 0xFFFFFFFF on bad text. */
PXR_API uint32_t strtou32(uint32_t *result, const char *text) PXR_NOEXCEPT;
/** As strtou32: 1 on success, 0 on failure. */
PXR_API uint32_t strtonum(uint32_t *result, const char *text) PXR_NOEXCEPT;

/* ======================================================================== */
/* Line reader and tokenizer                                                */
/* ======================================================================== */

/** Read one line (at most max characters, CR read as LF) into buf, unterminated.
 *  Characters stored, or -1 at the end of input. */
PXR_API int utl_read_line(FILE *stream, char *buf, int max) PXR_NOEXCEPT;
/** Split line[0..length) in place into at most *count tokens; *count becomes the number
 *  found. 0 done; -1 syntax error with its text in err. */
PXR_API int utl_parse_line(char *line, int length, int *count, char **tokens,
                           char *err) PXR_NOEXCEPT;
/** Read and tokenize the next line of stream (errors go to standard error).
 *  0 done; -1 syntax error; 1 end of input. Tokens live until the next call. */
PXR_API int parse_line(FILE *stream, int *count, char **tokens) PXR_NOEXCEPT;

/* Every name of this section, for the binding below. */
/* clang-format off */
#define PXRLIB_SHORT_NAMES(X)                                                                    \
    X(bits_from_byte) X(bit_from_byte) X(bits_to_byte) X(bit_to_byte) X(bit_set) X(bit_clear)    \
    X(bit_test) X(packbits) X(unpackbits) X(rpackbytes) X(runpackbytes)                          \
    X(pack_digits) X(unpack_digits) X(move_digits)                                               \
    X(hextobin) X(asctobin) X(bintohex) X(bintoasc) X(strtou32) X(strtonum)                      \
    X(utl_read_line) X(utl_parse_line) X(parse_line)
/* clang-format on */
#if defined(__ELF__) && defined(__GNUC__)
#define PXRLIB_BIND_SHORT_NAME(name) __asm__(".symver " #name ", " #name "@PXRLIB_1");
PXRLIB_SHORT_NAMES(PXRLIB_BIND_SHORT_NAME)
#undef PXRLIB_BIND_SHORT_NAME
#endif

#endif /* !PXRLIB_NO_SHORT_NAMES */

/* ======================================================================== */
/* Dump files                                                               */
/* ======================================================================== */

/** Create pxrmem_DDMMYYYY_HHMM.bin and pxrdump_DDMMYYYY_HHMM.txt here. 0; 1 failed. */
PXR_API int PXR_dump_create(void) PXR_NOEXCEPT;
/** Open a memory dump for reading. 0; 1 failed ("fopen" error printed). */
PXR_API int PXR_dump_open(const char *path) PXR_NOEXCEPT;
/** Append one block to the memory dump. 0; 1 failed or no dump open. */
PXR_API int PXR_dump_write_memory(const void *buf, uint32_t size) PXR_NOEXCEPT;
/** Read the next block of the memory dump. 0; 1 failed ("fread" error) or no dump open. */
PXR_API int PXR_dump_read_memory(void *buf, uint32_t size) PXR_NOEXCEPT;
/** Close both dump streams and clear the handles. 0. */
PXR_API int PXR_dump_close(void) PXR_NOEXCEPT;

/* ======================================================================== */
/* Returning the buffers of dead processes                                  */
/* ======================================================================== */

/** PXR_reclaim_buffers flag: find and count, give nothing back. */
#define PXR_RECLAIM_DRY_RUN 0x1u
/** PXR_reclaim_buffers flag: the caller knows that no process allocates or releases (and has
 *  repaired the lock-free lists with PXR_repair_partition), so lock-free buffers whose release
 *  a kill cut short are given back too. */
#define PXR_RECLAIM_QUIESCENT 0x2u

/** What a reclaim pass found. */
typedef struct PXR_reclaim_stats {
    uint32_t returned;  /**< buffers given back (dry run: that would be) */
    uint32_t queued;    /**< buffers of dead processes still referenced by a queue: left for their
                           receiver */
    uint32_t undecided; /**< buffers that seem to be held by dead processes but could not be
                             proven free of every queue and live process this time */
} PXR_reclaim_stats;

/** One buffer a reclaim pass gave back (or would give back). */
typedef struct PXR_reclaimed_buffer {
    uint32_t partition;
    uint32_t index;
    int32_t holder; /**< the dead process that held it */
} PXR_reclaimed_buffer;

/** Give back to its pool every buffer held by a process that no longer runs (pid 0: any
 *  such process; pid > 0: that process only, which must have ended). The holder is read from
 *  the buffer's system header: its last receiver when that is not also its last sender, else
 *  the receiver whose receive landing holds its record (taken from the queue, not yet stamped),
 *  else its last sender, else (never sent) its allocator. A buffer is returned only when its
 *  holder has ended (a zombie counts as ended), no queue references it (looked up with
 *  MSG_COPY, which takes no record, or in the ring) and a second look 20 ms later agrees. The
 *  queues are read before the landings and the landings before the stamps, so a record on its
 *  way from a queue to its receiver is always seen; the one instant it is in neither lies
 *  inside the kernel's msgrcv, where the receiver can be neither stopped nor killed. With pid > 0
 *  in an environment with ring queues, what that process left in the rings is cleared too: a
 *  sleeper entry, a slot it took a record from and did not free. A buffer whose release was
 *  under way when its holder died is given back in the locked form (whose release is whole
 *  under the partition lock) and left alone in the lock-free form. A forked copy stamps
 *  its own pid, so its buffers count as its own. Returns
 *  through PXR_relmem, so congestion abate works as usual. stats and list may be null; list
 *  receives at most capacity entries. Needs an attached caller. 0 done; 1 not attached; -1
 *  bad argument. */
PXR_API int PXR_reclaim_buffers(int32_t pid, uint32_t flags, PXR_reclaim_stats *stats,
                                PXR_reclaimed_buffer *list, uint32_t capacity) PXR_NOEXCEPT;
/** PXR_buffer_holder flag: the buffer is of a lock-free partition. */
#define PXR_HOLDER_ATOMIC 0x4u
/** The process a buffer's stamps charge with it, the rule a reclaim uses: its last receiver
 *  when that received it after the last send, else its last sender, else its allocator. 0
 *  when the buffer is not allocated, nobody is named, or a release is under way (in the
 *  lock-free form, unless flags has PXR_RECLAIM_QUIESCENT; in either form when the releaser
 *  is not that holder). The slot may be a live one or a copy; a null slot gives 0. */
PXR_API int32_t PXR_buffer_holder(const SysMsg *slot, uint32_t flags) PXR_NOEXCEPT;
/** 1 when pid names no running process (none, or a zombie), 0 when it runs or cannot be told
 *  (another user's process counts as running), -1 for pid <= 0. */
PXR_API int PXR_process_gone(int32_t pid) PXR_NOEXCEPT;

/* ======================================================================== */
/* Lock-free pool repair                                                    */
/* ======================================================================== */

/** Repair the lock-free free list of an attached partition after processes were killed inside
 *  an allocation or a release: buffers marked free but on no list are appended again, the head
 *  and tail words get their buffers' tags, the tail names the last buffer, and alloc_count is
 *  set to the number of buffers marked allocated. Only for a QUIESCENT partition: no process
 *  may allocate or release in it while this runs. Buffers marked allocated are left alone.
 *  *relinked_out (may be null) gets the number of buffers appended. 0 done; 1 the list itself
 *  is damaged (a link out of range or a cycle), nothing changed; -1 not attached, partition
 *  not 0 or 1 or not attached, or not in the lock-free form. */
PXR_API int32_t PXR_repair_partition(uint32_t partition, uint32_t *relinked_out) PXR_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* PXRLIB_H */
