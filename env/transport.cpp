// Send and receive: only a 12-byte reference {index, partition} travels through a module
// queue; the MSG itself stays in its buffer slot in shared memory.
#include "pxrlib.h"

#include "env/flow.h"
#include "env/groups.h"
#include "env/pools.h"
#include "env/pxr_internal.h"
#include "env/ring_queues.h"
#include "env/signal_gate.h"
#include "env/sync_notes.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <sched.h>
#include <sys/msg.h>
#include <unistd.h>

namespace {

using pxr_impl::kRecordText;
using pxr_impl::QueueRecord;

inline uint32_t common_flags() noexcept {
    return pxr_impl::shared(common_ptr->flags).load(std::memory_order_relaxed);
}

// Entry of a module id, or null for 255, which has no entry in the table.
inline ModuleQueueEntry *entry_of(uint8_t module) noexcept {
    return module < PXR_MODULE_COUNT ? &common_ptr->module_queues[module] : nullptr;
}

// A module queue as the transport uses it: the kernel queue the table names, and the ring
// that carries its records instead when the environment was made with rings. Whether a
// record goes through a ring or the kernel is decided here and in take_record alone.
struct Queue {
    int qid;
    pxr_impl::ring::View ring;
};

Queue queue_of(uint8_t module, uint32_t qid) noexcept {
    return {int(qid), pxr_impl::ring_of_queue(module, qid)};
}

// One attempt to put rec (ref for a ring) into the queue: 0, or the errno (a full ring is
// EAGAIN, as a full kernel queue is; a damaged one EUCLEAN).
int put_record(const Queue &q, QueueRecord &rec, uint32_t ref) noexcept {
    if (q.ring) return pxr_impl::ring_put(q.ring, ref);
    return msgsnd(q.qid, &rec, kRecordText, IPC_NOWAIT) == 0 ? 0 : errno;
}

} // namespace

// From the values find_msg checked, not from the record: reading its two halves back as one
// word would stall on the stores just made.
uint32_t pxr_impl::stamp_sent(const MsgSlot &m) noexcept {
    store_word(m.slot, offsetof(SysMsg, send_pid), uint32_t(my_pid));
    synced_before(m.slot);
    return buffer_ref(m.index, uint32_t(m.partition));
}

uint32_t pxr_impl::destination_queue(uint32_t dst) noexcept {
    const ModuleQueueEntry *entry = entry_of(uint8_t(dst & 0xFF));
    return entry ? entry->msqid : PXR_NO_QUEUE;
}

int pxr_impl::undefined_destination(uint32_t dst) noexcept {
    if (common_ptr->error_print)
        fprintf(stderr, "(%d)PXR_send() : Process : 0x%x undefined\n", int(getpid()), dst);
    drop_if_replaced();
    pause_seconds(2);
    return -1;
}

int pxr_impl::send_failed(int err) noexcept {
    if (common_ptr->error_print) {
        errno = err;
        perror("PXR_send() msgsnd()");
    }
    if (drop_if_replaced()) return -1;
    // A plain increment (a load and a store): two failures at the same instant may count once.
    std::atomic_ref<uint32_t> errors = shared(common_ptr->internal_errors);
    errors.store(errors.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (common_ptr->fatal_action == 1) {
        common_ptr->exit_status = -1;
        PXR_terminate();
    }
    return -1;
}

namespace {

// PXR_send, and with timed set PXR_timed_send: while the queue is full it waits for room
// until deadline_ns and answers 1 at the deadline instead of retrying and failing.
int send_to(uint32_t dst, MSG *msg, bool timed, uint64_t deadline_ns) noexcept {
    if (!pxr_impl::lazy_attach(2)) return -1;
    // 1 from a group send means one member missed the message: a refused one answers -1.
    if (common_flags() & CA_NO_TRAFFIC) return pxr_impl::group_of(dst & 0xFF) ? -1 : 1;
    const pxr_impl::MsgSlot m = pxr_impl::find_msg(msg);
    if (!pxr_impl::allocated(m)) return -1;
    if (pxr_impl::groups.area != nullptr && !pxr_impl::take_whole(m)) [[unlikely]]
        return -1;

    const uint32_t qid = pxr_impl::destination_queue(dst);
    if (qid == PXR_NO_QUEUE) {
        if (const GroupRecord *group = pxr_impl::group_of(dst & 0xFF))
            return pxr_impl::group_send(*group, m, timed ? &deadline_ns : nullptr);
        return pxr_impl::undefined_destination(dst);
    }

    const uint32_t ref = pxr_impl::stamp_sent(m);
    QueueRecord rec;
    rec.mtype = 1;
    rec.index = uint16_t(m.index);
    rec.partition = uint16_t(m.partition);

    const Queue queue = queue_of(uint8_t(dst & 0xFF), qid);
    if (timed) {
        int err = 0;
        pxr_impl::RoomWord *room = pxr_impl::queue_room(qid);
        const int rc = pxr_impl::wait_for_room(room, deadline_ns, 1, [&]() noexcept {
            do err = put_record(queue, rec, ref);
            while (err == EINTR);
            return err == EAGAIN || err == ENOMEM ? pxr_impl::kFull : err == 0 ? 0 : -1;
        });
        if (rc != -1) return rc;
        return pxr_impl::send_failed(err);
    }
    const int err = pxr_impl::put_retrying([&](bool &) { return put_record(queue, rec, ref); });
    return err == 0 ? 0 : pxr_impl::send_failed(err);
}

} // namespace

int pxr_impl::put_reference(uint8_t module, uint16_t index, uint16_t partition) noexcept {
    const ModuleQueueEntry *entry = entry_of(module);
    if (entry == nullptr || entry->msqid == PXR_NO_QUEUE || (entry->queue_flags & 1u) == 0)
        return EINVAL;
    QueueRecord rec{};
    rec.mtype = 1;
    rec.index = index;
    rec.partition = partition;
    const Queue queue = queue_of(module, entry->msqid);
    int err;
    do err = put_record(queue, rec, buffer_ref(index, partition));
    while (err == EINTR);
    return err;
}

/// Module id 255 has no table entry: it is treated as an undefined destination (optional
/// message, 2 s pause, -1). A msg that is not the MSG of a buffer of a partition attached here
/// (null, outside the message arrays, not at a slot's MSG offset), or whose buffer is not
/// allocated (it was released), is refused with -1 at once.
int PXR_send(uint32_t dst, MSG *msg) noexcept {
    return send_to(dst, msg, false, 0);
}

/// Both queue forms wait on a futex word that receives of the queue raise while a sender
/// waits; a kernel queue's receive is not interrupted. A queue out of kernel memory (ENOMEM)
/// is waited on as a full one.
int PXR_timed_send(uint32_t dst, MSG *msg, uint32_t timeout_ms) noexcept {
    return send_to(dst, msg, true, pxr_impl::deadline_after(timeout_ms));
}

namespace {

// ---- Receive ----

uint64_t now_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

constexpr uint64_t kNoDeadline = UINT64_MAX;

// Attaches for a receive: lazily (with its retries and its 2 s pause on failure) without a
// deadline; with one, by attempts 100 ms apart while the environment is not running yet,
// never past the deadline and without the pause.
bool attach_for_receive(uint64_t deadline) noexcept {
    if (common_ptr != nullptr) return true;
    if (deadline == kNoDeadline) return pxr_impl::lazy_attach(2);
    for (;;) {
        const int rc = PXR_init(0, 0, 0);
        if (rc == 0) return true;
        const uint64_t now = now_ns();
        if ((rc != 8 && rc != 9) || now >= deadline) return false;
        PLAT_delay(uint32_t(std::min<uint64_t>(100, (deadline - now + 999999) / 1000000)));
    }
}

// The queue module receives from, or qid -1 when this process may not receive from it now;
// errno then says why (the timed receive reports it; the plain receive only returns null).
Queue receive_queue(uint8_t module, uint64_t deadline = kNoDeadline) noexcept {
    if (!attach_for_receive(deadline)) {
        errno = ENOENT;
        return {-1, {}};
    }
    if (common_flags() & CA_NO_TRAFFIC) {
        errno = EPERM;
        return {-1, {}};
    }
    const ModuleQueueEntry *entry = entry_of(module);
    if (entry == nullptr || (entry->queue_flags & 1u) == 0) {
        errno = EINVAL;
        return {-1, {}};
    }
    const uint32_t qid = entry->msqid;
    if (qid == PXR_NO_QUEUE) {
        if (common_ptr->error_print)
            fprintf(stderr, "(%d)PXR_read(): Undefined MSG Q 0x%x\n", int(getpid()),
                    unsigned(module));
        errno = EINVAL;
        return {-1, {}};
    }
    return queue_of(module, qid);
}

// A record that names no buffer here is dropped, never silently: it is counted in the
// extension area and, with error_print, reported.
MSG *drop_record(const QueueRecord &rec, const char *why) noexcept {
    pxr_impl::count_dropped_record();
    if (common_ptr != nullptr && common_ptr->error_print)
        fprintf(stderr, "(%d)PXR_read(): record for buffer %u of partition %u dropped: %s\n",
                int(getpid()), unsigned(rec.index), unsigned(rec.partition), why);
    return nullptr;
}

// The MSG a record names, stamped as received by this process. A partition that is not
// attached here (it could not be mapped when this process attached) is tried once more; a
// record naming no partition that can be attached, or an index beyond it, is dropped.
MSG *accept_record(const QueueRecord &rec) noexcept {
    const unsigned p = rec.partition;
    if (p >= unsigned(pxr_impl::kPartitions)) return drop_record(rec, "no such partition");
    if (partition_hdr[p] == nullptr && PXR_open_partition(int32_t(p), 0, 0, 0, 0, 0) != 0)
        return drop_record(rec, "partition not attached");
    if (int32_t(rec.index) >= partition_geometry[p].num_msgs)
        return drop_record(rec, "no such buffer");
    SysMsg *slot = pxr_impl::slot_at(int(p), rec.index);
    pxr_impl::synced_after(slot);
    pxr_impl::store_word(slot, offsetof(SysMsg, receive_pid), uint32_t(my_pid));
    if (pxr_impl::groups.area != nullptr) [[unlikely]]
        pxr_impl::claim_share({int(p), rec.index, slot});
    return pxr_impl::msg_of(slot);
}

// One msgrcv. found is false only when the queue was empty; otherwise the receive ends with
// msg, null for an interruption (EINTR), a dropped record (EBADMSG) or a queue this process
// can no longer use (its error; the process is detached).
struct Take {
    MSG *msg;
    bool found;
};

// The queue this process can no longer use: it detaches, and the receive ends with err.
Take lose_queue(int err) noexcept {
    PXR_unlink();
    PXR_sys_failure = 1;
    errno = err;
    return {nullptr, true};
}

// Turns the reference a ring gave back into the record the kernel would have given.
Take accept_ref(uint32_t ref, ReceiveLanding *landing) noexcept {
    QueueRecord rec{};
    rec.index = uint16_t(pxr_impl::ref_index(ref));
    rec.partition = uint16_t(pxr_impl::ref_partition(ref));
    MSG *msg = accept_record(rec);
    pxr_impl::settle_landing(landing);
    if (msg == nullptr) errno = EBADMSG;
    return {msg, true};
}

// A cursor belongs to one receiver: each thread has its own (its repair timer, its landing,
// its empty looks), and a forked copy starts with a fresh one.
thread_local pxr_impl::ring::Cursor ring_cursor;

// A ring whose words no run of its protocol leaves: reported once, and every take refused.
Take refuse_damaged(const pxr_impl::ring::View &ring) noexcept {
    pxr_impl::report_ring_damage(ring);
    errno = EUCLEAN;
    return {nullptr, true};
}

// A ring's take, waiting until deadline_ns (0: not at all) with the kernel queue's results: an
// interruption (EINTR), a time-out (not found, ETIMEDOUT), a removed queue (EIDRM).
Take take_from_ring(const pxr_impl::ring::View &ring, int qid, uint64_t deadline_ns) noexcept {
    using pxr_impl::ring::Wait;
    uint32_t ref = 0;
    ReceiveLanding *landing = pxr_impl::my_landing();
    ring_cursor.landing = landing != nullptr ? &landing->ring_ref : nullptr;
    if (deadline_ns == 0) {
        if (pxr_impl::shared(ring.header->queue_id).load() != uint32_t(qid))
            return lose_queue(EIDRM);
        switch (pxr_impl::ring::try_pop(ring, ring_cursor, my_pid, ref)) {
        case pxr_impl::ring::Take::got:
            pxr_impl::room_made(pxr_impl::queue_room(uint32_t(qid)));
            return accept_ref(ref, landing);
        case pxr_impl::ring::Take::damaged:
            return refuse_damaged(ring);
        default:
            return {nullptr, false};
        }
    }
    switch (pxr_impl::ring::pop_wait(ring, ring_cursor, my_pid, uint32_t(qid), deadline_ns, ref)) {
    case Wait::got:
        pxr_impl::room_made(pxr_impl::queue_room(uint32_t(qid)));
        return accept_ref(ref, landing);
    case Wait::interrupted:
        errno = EINTR;
        return {nullptr, true};
    case Wait::timed_out:
        errno = ETIMEDOUT;
        return {nullptr, false};
    case Wait::damaged:
        return refuse_damaged(ring);
    case Wait::removed:
        break;
    }
    return lose_queue(EIDRM);
}

Take take_record(const Queue &q, int flags) noexcept {
    if (q.ring)
        return take_from_ring(q.ring, q.qid, flags & IPC_NOWAIT ? 0 : pxr_impl::ring::kForever);
    // The record lands where a reclaim can see it (landings.cpp), or here when there is no
    // landing for this thread.
    QueueRecord rec;
    ReceiveLanding *landing = pxr_impl::my_landing();
    void *target = landing != nullptr ? static_cast<void *>(&landing->mtype) : &rec;
    ssize_t got = 0;
    {
        [[maybe_unused]] const pxr_impl::KernelWrites kernel_writes;
        got = msgrcv(q.qid, target, kRecordText, 0, flags);
    }
    if (got < 0) {
        const int err = errno;
        if (err == ENOMSG || err == EAGAIN) return {nullptr, false};
        if (err == EINTR) return {nullptr, true};
        // The queue is gone or holds a record we cannot take whole: this process can no
        // longer use the environment. An id that names no queue (EINVAL: the size is right)
        // was removed before the call, as EIDRM says of one removed during it.
        return lose_queue(err == EINVAL ? EIDRM : err);
    }
    pxr_impl::room_made(pxr_impl::queue_room(uint32_t(q.qid)));
    if (landing != nullptr) std::memcpy(&rec, &landing->mtype, sizeof rec);
    MSG *msg = size_t(got) < kRecordText ? nullptr : accept_record(rec);
    pxr_impl::settle_landing(landing);
    if (msg == nullptr) errno = EBADMSG;
    return {msg, true};
}

// ---- Receive spin window ----
// A waiting receive first polls its queue for up to the window: when the sender answers
// within it, the receiver never sleeps and the sender's msgsnd has no sleeper to wake, which
// saves both cross-core wake-ups of a round trip. A window that ends empty, or in which the
// process lost its core for a while (the core is wanted elsewhere), is a loss: the
// receive then waits as usual, the next `rest` receives of the process wait without
// polling, rest doubling with each loss up to kMaxRest, and the window shrinks by half with
// each loss down to a quarter. A record found after at least one empty poll is a win and
// restores both; one that was already waiting proves nothing (the wait would not have slept
// either). So an idle receiver spends one window and then sleeps, a receiver whose sender
// shares its core (and cannot answer while it polls) polls a quarter window once in kMaxRest
// receives, and a steady exchange polls every time.
constexpr uint32_t kSpinMaxUs = 1000000;
constexpr uint32_t kMaxRest = 1024;
constexpr uint64_t kPreemptedNs = 20000; // a poll takes about 1 µs

// The window is the process's setting; what it learned (losses, receives to skip) belongs to
// the receiving thread. A new setting restarts every thread's learning: a thread notices by
// the setting's generation.
std::atomic<uint32_t> spin_us{0};
std::atomic<bool> spin_chosen{false}; // set by PXR_set_receive_spin: no default applies
std::atomic<uint32_t> spin_generation{0};

struct SpinState {
    uint32_t generation = 0;
    uint32_t shift = 0; // the window in use is spin_us >> shift
    uint32_t rest = 0;  // receives to wait without polling after each loss
    uint32_t skip = 0;  // of those, still to come
};
thread_local SpinState spin;

void set_window(uint32_t us) noexcept {
    spin_us.store(us, std::memory_order_relaxed);
    spin_generation.fetch_add(1, std::memory_order_relaxed);
}

uint32_t spin_window() noexcept {
    return spin_us.load(std::memory_order_relaxed);
}

// The calling thread's learning, restarted when the window was set since it last looked.
SpinState &thread_spin() noexcept {
    const uint32_t generation = spin_generation.load(std::memory_order_relaxed);
    if (spin.generation != generation) spin = SpinState{generation};
    return spin;
}

void lose_window(SpinState &st) noexcept {
    st.rest = st.rest == 0 ? 1 : std::min(st.rest * 2, kMaxRest);
    st.skip = st.rest;
    st.shift = std::min(st.shift + 1, 2u);
}

// Polls qid for up to the window, and never past limit_ns. True when a poll ended the
// receive (*out is its result, as take_record gives it).
[[gnu::noinline]] bool spin_for_record(const Queue &q, uint64_t limit_ns, MSG **out) noexcept {
    const uint32_t window = spin_window();
    if (window == 0) return false;
    SpinState &st = thread_spin();
    if (st.skip != 0) {
        --st.skip;
        return false;
    }
    // A ring knows where its last sender ran: when that is this CPU, the sender (likely the
    // one that answers) cannot run while this process polls, so the receive sleeps at once.
    if (q.ring && pxr_impl::ring::sender_cpu(q.ring) == sched_getcpu()) return false;
    uint64_t last = now_ns();
    const uint64_t end = std::min(last + (uint64_t(window) * 1000u >> st.shift), limit_ns);
    // A ring's poll costs a few nanoseconds, less than reading the clock: several go to one
    // reading. A kernel queue's poll is a system call: one each.
    const int polls_per_look = q.ring ? 16 : 1;
    for (bool first = true;; first = false) {
        Take t{nullptr, false};
        for (int i = 0; i < polls_per_look && !t.found; ++i) {
            if (i != 0) pxr_impl::ring::cpu_relax();
            t = take_record(q, IPC_NOWAIT);
            first = first && i == 0;
        }
        const uint64_t now = now_ns();
        // A gap between two looks means the core was taken from us: it is wanted elsewhere
        // (by the sender, perhaps), so polling on costs others time and counts as a loss.
        const bool preempted = now - last > kPreemptedNs;
        if (t.found) {
            if (preempted)
                lose_window(st);
            else if (!first)
                st.rest = st.shift = 0;
            *out = t.msg;
            return true;
        }
        if (preempted || now >= end) break;
        last = now;
        pxr_impl::ring::cpu_relax();
    }
    lose_window(st);
    return false;
}

// Sleeps of the timed receive between two looks at its queue: short at first, so an answer
// that comes soon is taken soon, growing to kLastNapNs, which bounds both the lateness of a
// record that arrives during a quiet period and the wake-ups of a long wait.
constexpr uint64_t kFirstNapNs = 20000;
constexpr uint64_t kLastNapNs = 1000000;

} // namespace

/// A record is not trusted: one naming a partition that is not attached here, or an index at
/// or beyond its buffer count, is dropped (null) without touching memory outside the
/// partition. Module id 255 has no table entry: null.
MSG *PXR_read(uint8_t module, int nowait) noexcept {
    const Queue q = receive_queue(module);
    if (q.qid < 0) return nullptr;
    if (nowait == 0 && spin_window() != 0) [[unlikely]] {
        MSG *msg;
        if (spin_for_record(q, UINT64_MAX, &msg)) return msg;
    }
    return take_record(q, nowait ? IPC_NOWAIT : 0).msg;
}

MSG *PXR_receive(uint32_t module) noexcept {
    return PXR_read(uint8_t(module & 0xFF), 0);
}

MSG *PXR_grab(uint32_t module) noexcept {
    return PXR_read(uint8_t(module & 0xFF), 1);
}

/// Attaching counts against the limit: without a running environment it ends at the deadline
/// (or at once when there is none), never after the 2 s pause of the other receives.
/// System V queues have no timed wait, and interrupting msgrcv would take a signal handler
/// and a timer from the caller: so after the spin window the queue is polled with naps of
/// 20 µs doubling up to 1 ms (never past the deadline). A record is taken at most about 1 ms
/// after it arrives; no handler, timer or thread is used, and a signal ends the wait (EINTR).
/// A ring queue is waited on directly and wakes the receive as soon as a record comes.
MSG *PXR_timed_receive(uint32_t module, uint32_t timeout_ms) noexcept {
    const uint64_t deadline = now_ns() + uint64_t(timeout_ms) * 1000000u;
    const Queue q = receive_queue(uint8_t(module & 0xFF), deadline);
    if (q.qid < 0) return nullptr;
    MSG *msg;
    if (spin_for_record(q, deadline, &msg)) return msg;
    if (q.ring) return take_from_ring(q.ring, q.qid, std::max<uint64_t>(deadline, 1)).msg;
    // Signals are let in only inside each nap, so a handler that runs ends the wait.
    pxr_impl::SignalGate gate;
    for (uint64_t nap = kFirstNapNs;; nap = std::min(nap * 2, kLastNapNs)) {
        const Take t = take_record(q, IPC_NOWAIT);
        if (t.found) return t.msg;
        const uint64_t now = now_ns();
        if (now >= deadline) {
            errno = ETIMEDOUT;
            return nullptr;
        }
        gate.close();
        if (gate.nap(std::min(nap, deadline - now)) == pxr_impl::Sleep::interrupted) {
            errno = EINTR;
            return nullptr;
        }
    }
}

/// Above one second the window is refused (-1) and stays as it was.
int PXR_set_receive_spin(uint32_t microseconds) noexcept {
    if (microseconds > kSpinMaxUs) return -1;
    set_window(microseconds);
    spin_chosen.store(true, std::memory_order_relaxed);
    return 0;
}

/// Only the process that created the environment sets its default; every other caller gets -1.
int PXR_set_default_receive_spin(uint32_t microseconds) noexcept {
    pxr_impl::ExtensionSegment *x = pxr_impl::attachment.extension;
    if (microseconds > kSpinMaxUs || !pxr_impl::attachment.creator || x == nullptr) return -1;
    pxr_impl::shared(x->area.receive_spin_us).store(microseconds);
    return 0;
}

void pxr_impl::adopt_default_spin() noexcept {
    ExtensionSegment *x = attachment.extension;
    if (spin_chosen.load(std::memory_order_relaxed) || x == nullptr) return;
    const uint32_t us = shared(x->area.receive_spin_us).load();
    set_window(us <= kSpinMaxUs ? us : 0);
}

uint32_t PXR_get_receive_spin(void) noexcept {
    return spin_window();
}

void pxr_impl::forget_receive_state() noexcept {
    ring_cursor = pxr_impl::ring::Cursor{};
    spin = SpinState{spin_generation.load(std::memory_order_relaxed)};
    forget_landing();
}
