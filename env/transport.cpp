// Send and receive: only a 12-byte reference {index, partition} travels through a module
// queue; the MSG itself stays in its buffer slot in shared memory.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <sys/msg.h>
#include <unistd.h>

namespace {

// One module queue record. The kernel sees mtype plus 12 bytes of text.
struct QueueRecord {
    long mtype;
    uint16_t index;
    uint16_t partition;
    uint8_t reserved[8];
};
constexpr size_t kRecordText = 12;
static_assert(offsetof(QueueRecord, reserved) + 8 - offsetof(QueueRecord, index) == kRecordText,
              "record text is 12 bytes");

constexpr int kFullQueueRetries = 5;

inline uint32_t common_flags() noexcept {
    return pxr::shared(common_ptr->flags).load(std::memory_order_relaxed);
}

// Entry of a module id, or null for 255, which has no entry in the table.
inline ModuleQueueEntry *entry_of(uint8_t module) noexcept {
    return module < PXR_MODULE_COUNT ? &common_ptr->module_queues[module] : nullptr;
}

} // namespace

/// Module id 255 has no table entry: it is treated as an undefined destination (optional
/// message, 2 s pause, -1).
int PXR_send(uint32_t dst, MSG *msg) noexcept {
    if (!pxr::lazy_attach(2)) return -1;
    if (common_flags() & CA_NO_TRAFFIC) return 1;

    const ModuleQueueEntry *entry = entry_of(uint8_t(dst & 0xFF));
    const uint32_t qid = entry ? entry->msqid : PXR_NO_QUEUE;
    if (qid == PXR_NO_QUEUE) {
        if (common_ptr->error_print)
            fprintf(stderr, "(%d)PXR_send() : Process : 0x%x undefined\n", int(getpid()), dst);
        pxr::drop_if_replaced();
        pxr::pause_seconds(2);
        return -1;
    }

    SysMsg *slot = pxr::slot_of(msg);
    slot->send_pid = my_pid;

    QueueRecord rec;
    rec.mtype = 1;
    rec.index = uint16_t(slot->index);
    rec.partition = uint16_t(slot->partition);

    int retries = 0;
    int err = 0;
    for (;;) {
        if (msgsnd(int(qid), &rec, kRecordText, IPC_NOWAIT) == 0) return 0;
        err = errno;
        if (err == EINTR) continue;
        if ((err == EAGAIN || err == ENOMEM) && retries < kFullQueueRetries) {
            ++retries;
            pxr::pause_seconds(0);
            continue;
        }
        break;
    }

    if (common_ptr->error_print) {
        errno = err;
        perror("PXR_send() msgsnd()");
    }
    if (pxr::drop_if_replaced()) return -1;
    // A plain increment: two failures at the same instant may count once.
    common_ptr->internal_errors = common_ptr->internal_errors + 1;
    if (common_ptr->fatal_action == 1) {
        common_ptr->exit_status = -1;
        PXR_terminate();
    }
    return -1;
}

/// A record is not trusted: one naming a partition that is not attached here, or an index at
/// or beyond its buffer count, is dropped (null) without touching memory outside the
/// partition. Module id 255 has no table entry: null.
MSG *PXR_read(uint8_t module, int nowait) noexcept {
    if (!pxr::lazy_attach(2)) return nullptr;
    if (common_flags() & CA_NO_TRAFFIC) return nullptr;

    const ModuleQueueEntry *entry = entry_of(module);
    if (entry == nullptr || (entry->queue_flags & 1u) == 0) return nullptr;
    const uint32_t qid = entry->msqid;
    if (qid == PXR_NO_QUEUE) {
        if (common_ptr->error_print)
            fprintf(stderr, "(%d)PXR_read(): Undefined MSG Q 0x%x\n", int(getpid()),
                    unsigned(module));
        return nullptr;
    }

    QueueRecord rec;
    const ssize_t got = msgrcv(int(qid), &rec, kRecordText, 0, nowait ? IPC_NOWAIT : 0);
    if (got < 0) {
        const int err = errno;
        if (err == EINTR || err == EAGAIN || err == ENOMSG) return nullptr;
        // The queue is gone or holds a record we cannot take whole: this process can no
        // longer use the environment.
        PXR_unlink();
        PXR_sys_failure = 1;
        return nullptr;
    }
    if (size_t(got) < kRecordText) return nullptr;

    const unsigned p = rec.partition;
    if (p >= unsigned(pxr::kPartitions)) return nullptr;
    if (partition_hdr[p] == nullptr || partition_msgarray[p] == nullptr) return nullptr;
    if (int32_t(rec.index) >= partition_geometry[p].num_msgs) return nullptr;

    SysMsg *slot = pxr::slot_at(int(p), rec.index);
    slot->receive_pid = my_pid;
    return pxr::msg_of(slot);
}

MSG *PXR_receive(uint32_t module) noexcept {
    return PXR_read(uint8_t(module & 0xFF), 0);
}

MSG *PXR_grab(uint32_t module) noexcept {
    return PXR_read(uint8_t(module & 0xFF), 1);
}
