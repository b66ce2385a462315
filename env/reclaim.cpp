// Giving back the buffers of processes that died while they held them.
//
// A buffer's system header names who allocated it, who sent it last and who received it
// last. Only the holder of a buffer sends it, and a send stamps the sender before the record
// goes out, so a last receiver that differs from the last sender received it after that send
// and holds it. Otherwise the record waits in a queue, or sits in a receiver's landing
// (landings.cpp) until that receiver stamps the buffer, or the last sender still holds it; a
// buffer never sent is its allocator's. The queues are read with MSG_COPY, which leaves every
// record where it is; then the landings, then the stamps, so that a record that left its
// queue is seen in a landing or as stamped. A pass looks twice, 20 ms apart, for the stamps
// an allocation or a release writes in more than one step.
#include "groups.h"
#include "pools.h"
#include "pxr_internal.h"
#include "ring_queues.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/msg.h>
#include <unistd.h>

namespace {

using pxr_impl::shared;

constexpr int kBitmapWords = (pxr_impl::kMaxBuffers + 63) / 64;

// One bit per buffer and partition. Static, like the rest of the per-process state: a pass
// runs in one caller at a time.
struct Bitmap {
    uint64_t words[pxr_impl::kPartitions][kBitmapWords];
    void clear() { std::memset(words, 0, sizeof words); }
    void set(int p, uint32_t i) { words[p][i / 64] |= uint64_t(1) << (i % 64); }
    bool test(int p, uint32_t i) const { return (words[p][i / 64] >> (i % 64)) & 1; }
};
Bitmap g_candidates;
Bitmap g_referenced;

// A small cache of liveness answers for one pass: many buffers name the same processes.
class Liveness {
  public:
    bool gone(int32_t pid) {
        for (int i = 0; i < count_; ++i)
            if (pids_[i] == pid) return gone_[i];
        bool g = PXR_process_gone(pid) == 1;
        if (count_ < kSize) {
            pids_[count_] = pid;
            gone_[count_++] = g;
        }
        return g;
    }
    void forget() { count_ = 0; }

  private:
    static constexpr int kSize = 64;
    int32_t pids_[kSize];
    bool gone_[kSize];
    int count_ = 0;
};

// Stamps are read one word at a time as they stand (the slot may be a live one or a copy).
uint32_t word(const uint32_t &w) {
    return __atomic_load_n(&w, __ATOMIC_SEQ_CST);
}
int32_t word(const int32_t &w) {
    return __atomic_load_n(&w, __ATOMIC_SEQ_CST);
}

struct Stamps {
    uint32_t allocated;
    int32_t getmem, relmem, send, receive;
    int32_t landed = 0; // the receiver whose landing holds the buffer's record, if any
    bool received_after_send() const { return receive != 0 && receive != send; }
    // Whether the buffer may still be referenced by a queue record.
    bool maybe_queued() const { return send != 0 && landed == 0 && !received_after_send(); }
    int32_t holder() const {
        return received_after_send() ? receive : landed != 0 ? landed : send != 0 ? send : getmem;
    }
};

// The records held by landings at one look, and whether one was being written.
struct Landings {
    pxr_impl::LandedRecord records[PXR_RECEIVE_LANDINGS * 2];
    int count = 0;
    bool writing = false; // a kernel record was being written: its buffer is not known
    void read() {
        count = pxr_impl::read_landings(records, PXR_RECEIVE_LANDINGS * 2);
        writing = false;
        for (int i = 0; i < count; ++i) writing = writing || records[i].ref == PXR_NO_LANDING;
    }
    // The owner of a landing holding the buffer's record, a live one first; 0 when none.
    template <typename Gone>
    int32_t owner(const SysMsg *s, Gone &&gone) const {
        const uint32_t ref = pxr_impl::buffer_ref(word(s->index), uint32_t(word(s->partition)));
        int32_t found = 0;
        for (int i = 0; i < count; ++i) {
            if (records[i].ref != ref) continue;
            found = records[i].owner;
            if (!gone(found)) break;
        }
        return found;
    }
};
Landings g_landings;

// A buffer sent and not stamped received since is charged to the receiver whose landing
// holds its record. The allocation mark and the release stamp are read first, in the reverse
// of the order an allocation writes them (stamp_owner): a buffer being stamped is never seen
// marked allocated, or with its release stamp cleared, beside its previous owner's stamps.
template <typename Gone>
Stamps read_stamps(const SysMsg *s, const Landings &landings, Gone &&gone) {
    const uint32_t allocated = word(s->allocated);
    const int32_t relmem = word(s->relmem_pid);
    Stamps st{allocated, word(s->getmem_pid), relmem, word(s->send_pid), word(s->receive_pid)};
    if (st.maybe_queued()) st.landed = landings.owner(s, gone);
    return st;
}

// The holder the stamps name, or 0 when nobody may be charged with the buffer.
int32_t holder_of(const Stamps &st, bool atomic, bool quiescent) {
    // relmem_pid is cleared by every allocation (before the buffer is marked allocated in the
    // locked form; last, after the take, in the lock-free form): set on an allocated buffer it
    // means a release was under way, or in the lock-free form a take not yet stamped. The locked
    // pool's release is whole under its lock, so there the releaser still held the buffer; a
    // lock-free release may have counted the buffer out already, and releasing it again would count
    // it twice: that is left to the pool's repair.
    if (st.allocated != 1 || st.getmem <= 0) return 0;
    if (st.relmem != 0 && atomic && !quiescent) return 0;
    // The releaser must be the holder the stamps name: an abate message keeps the releaser's
    // stamp while it travels to the congestion module and is held there.
    const int32_t holder = st.holder();
    if (st.relmem != 0 && st.relmem != holder) return 0;
    return holder > 0 ? holder : 0;
}

// The dead process holding the buffer, or 0 when a live process may hold it, nobody is
// known to, or pid is given and is not among the holders.
int32_t dead_holder(const Stamps &st, int32_t pid, Liveness &live, bool quiescent) {
    const int32_t holder = holder_of(st, (common_ptr->atomic_mode & 1) != 0, quiescent);
    if (holder == 0 || (pid != 0 && holder != pid) || !live.gone(holder)) return 0;
    return holder;
}

// Marks the buffers referenced by the records of one queue. False when the queue cannot be
// read or kept changing at its head while it was read (a record may have been skipped).
bool scan_queue(int msqid) {
    struct Record {
        long mtype;
        uint16_t text[6];
    };
    auto head = [msqid](Record &r) {
        ssize_t n = msgrcv(msqid, &r, sizeof r.text, 0, IPC_NOWAIT | MSG_COPY | MSG_NOERROR);
        if (n >= 0) return 1;
        return errno == ENOMSG ? 0 : -1;
    };
    for (int attempt = 0; attempt < 8; ++attempt) {
        Record first{}, last{}, r{};
        int before = head(first);
        if (before < 0) return false;
        bool ok = true;
        for (long i = 0; i < 1000000; ++i) {
            std::memset(&r, 0, sizeof r);
            ssize_t n = msgrcv(msqid, &r, sizeof r.text, i, IPC_NOWAIT | MSG_COPY | MSG_NOERROR);
            if (n < 0) {
                ok = errno == ENOMSG;
                break;
            }
            const uint32_t index = r.text[0], p = r.text[1];
            if (n >= 4 && p < uint32_t(pxr_impl::kPartitions) && partition_hdr[p] != nullptr &&
                index < uint32_t(partition_geometry[p].num_msgs))
                g_referenced.set(int(p), index);
        }
        if (!ok) return false;
        int after = head(last);
        // Records leave a queue only at its head: an unchanged head means none left while
        // the records were copied, so none was skipped.
        if (after == before &&
            (before == 0 || (first.mtype == last.mtype &&
                             std::memcmp(first.text, last.text, sizeof first.text) == 0)))
            return true;
    }
    return false;
}

// Marks the buffers referenced by any queue of the environment. False when some queue could
// not be read whole.
bool scan_queues() {
    bool all = true;
    int seen[PXR_MODULE_COUNT];
    int n = 0;
    for (int m = 0; m < PXR_MODULE_COUNT; ++m) {
        const ModuleQueueEntry &e = common_ptr->module_queues[m];
        const uint32_t id = shared(const_cast<uint32_t &>(e.msqid)).load();
        if (id == PXR_NO_QUEUE) continue;
        bool dup = false;
        for (int i = 0; i < n && !dup; ++i) dup = seen[i] == int(id);
        if (dup) continue;
        seen[n++] = int(id);
        // A ring holds the records of its queue instead of the kernel.
        if (const pxr_impl::ring::View ring = pxr_impl::ring_of_queue(uint32_t(m), id)) {
            pxr_impl::ring::for_each_record(ring, [](uint32_t ref) {
                const uint32_t index = pxr_impl::ref_index(ref), p = pxr_impl::ref_partition(ref);
                if (p < uint32_t(pxr_impl::kPartitions) && index < uint32_t(pxr_impl::kMaxBuffers))
                    g_referenced.set(int(p), index);
            });
            continue;
        }
        if (!scan_queue(int(id))) all = false;
    }
    return all;
}

// Visits every slot of every attached partition.
template <typename F>
void each_slot(F &&f) {
    for (int p = 0; p < pxr_impl::kPartitions; ++p) {
        if (partition_hdr[p] == nullptr) continue;
        const uint32_t n = uint32_t(partition_geometry[p].num_msgs);
        for (uint32_t i = 0; i < n; ++i) f(p, i, pxr_impl::slot_at(p, i));
    }
}

const ShareRecord *shares_of(int p, uint32_t i, const SysMsg *s) {
    const ShareRecord *r = pxr_impl::share_record({p, i, const_cast<SysMsg *>(s)});
    return pxr_impl::is_shared(r) ? r : nullptr;
}

// The shares of buffers sent to groups name their holders, so the share of each dead holder
// is given back alone and the other members' shares stay; the last one returns the buffer. A
// dead receiver whose landing holds a record it had not claimed a share for yet (killed
// between the two) held one of the unclaimed shares. Landings go first: once a claimed share
// is given back, it could no longer be told from such a one. Each share given back counts as
// one buffer returned.
template <typename Gone, typename Note>
void reclaim_shares(int32_t pid, bool dry_run, Gone &&gone, Note &&note) {
    auto give_back = [&](int p, uint32_t i, SysMsg *s, int32_t holder) {
        if (!dry_run) {
            const pxr_impl::MsgSlot m{p, i, s};
            const int rc = pxr_impl::give_back_share(m, holder);
            if (rc == 1) return;
            if (rc == 2) pxr_impl::release_checked(0, m);
        }
        note(p, i, holder);
    };
    for (int l = 0; l < g_landings.count; ++l) {
        const pxr_impl::LandedRecord &rec = g_landings.records[l];
        const int p = int(pxr_impl::ref_partition(rec.ref));
        const uint32_t i = pxr_impl::ref_index(rec.ref);
        if (rec.ref == PXR_NO_LANDING || p >= pxr_impl::kPartitions ||
            partition_hdr[p] == nullptr || i >= uint32_t(partition_geometry[p].num_msgs) ||
            (pid != 0 && rec.owner != pid) || !gone(rec.owner))
            continue;
        SysMsg *s = pxr_impl::slot_at(p, i);
        const ShareRecord *r = shares_of(p, i, s);
        if (r == nullptr) continue;
        bool claimed = false;
        for (int k = 0; k < PXR_GROUP_MEMBERS; ++k)
            claimed = claimed || word(r->holder[k]) == rec.owner;
        if (!claimed) give_back(p, i, s, 0);
        if (!dry_run) pxr_impl::release_landing(rec.owner, rec.ref);
    }
    each_slot([&](int p, uint32_t i, SysMsg *s) {
        const ShareRecord *r = shares_of(p, i, s);
        if (r == nullptr) return;
        for (int k = 0; k < PXR_GROUP_MEMBERS; ++k) {
            const int32_t h = word(r->holder[k]);
            if (h > 0 && (pid == 0 || h == pid) && gone(h)) give_back(p, i, s, h);
        }
    });
}

} // namespace

/// A buffer sent to a group is charged to the first holder of a share that has ended, else to
/// the first holder of a received share (0 while every share is still in a queue).
int32_t PXR_buffer_holder(const SysMsg *slot, uint32_t flags) noexcept {
    if (slot == nullptr) return 0;
    const uint32_t p = word(slot->partition), i = word(slot->index);
    if (p < uint32_t(pxr_impl::kPartitions) && partition_hdr[p] != nullptr)
        if (const ShareRecord *r = shares_of(int(p), i, slot)) {
            int32_t first = 0;
            for (int k = 0; k < PXR_GROUP_MEMBERS; ++k) {
                const int32_t h = word(r->holder[k]);
                if (h > 0 && PXR_process_gone(h) == 1) return h;
                if (h > 0 && first == 0) first = h;
            }
            return first;
        }
    g_landings.read();
    const Stamps st =
        read_stamps(slot, g_landings, [](int32_t pid) { return PXR_process_gone(pid) == 1; });
    return holder_of(st, (flags & PXR_HOLDER_ATOMIC) != 0, (flags & PXR_RECLAIM_QUIESCENT) != 0);
}

/// A zombie counts as gone: it can no longer touch a buffer. EPERM (another user's process)
/// counts as running, so a reclaim never takes what it cannot prove free.
int PXR_process_gone(int32_t pid) noexcept {
    if (pid <= 0) return -1;
    if (kill(pid, 0) != 0) return errno == ESRCH ? 1 : 0;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *f = std::fopen(path, "r");
    if (f == nullptr) return 0;
    char buf[256];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char *close_paren = std::strrchr(buf, ')'); // the name may contain blanks and ')'
    if (close_paren == nullptr || close_paren[1] != ' ') return 0;
    const char state = close_paren[2];
    return state == 'Z' || state == 'X' ? 1 : 0;
}

/// Only an attached caller may reclaim (no lazy attach): the loader and `pxr reclaim` are.
int PXR_reclaim_buffers(int32_t pid, uint32_t flags, PXR_reclaim_stats *stats,
                        PXR_reclaimed_buffer *list, uint32_t capacity) noexcept {
    PXR_reclaim_stats result{};
    if (stats != nullptr) *stats = result;
    if (pid < 0 || (flags & ~(PXR_RECLAIM_DRY_RUN | PXR_RECLAIM_QUIESCENT)) != 0 ||
        (list == nullptr && capacity != 0))
        return -1;
    if (common_ptr == nullptr) return 1;
    if (pid > 0 && PXR_process_gone(pid) != 1) return 0; // a running process holds its own
    if (pid > 0) pxr_impl::ring_after_death(pid);

    const bool quiescent = (flags & PXR_RECLAIM_QUIESCENT) != 0;
    Liveness live;
    auto gone = [&live](int32_t p) { return live.gone(p); };
    g_candidates.clear();
    g_landings.read();
    uint32_t listed = 0;
    reclaim_shares(pid, (flags & PXR_RECLAIM_DRY_RUN) != 0, gone,
                   [&](int p, uint32_t i, int32_t holder) {
                       ++result.returned;
                       if (listed < capacity) list[listed++] = {uint32_t(p), i, holder};
                   });
    bool any = false;
    each_slot([&](int p, uint32_t i, SysMsg *s) {
        if (shares_of(p, i, s) != nullptr) return; // their holders are known: done above
        if (dead_holder(read_stamps(s, g_landings, gone), pid, live, quiescent) == 0) return;
        g_candidates.set(p, i);
        any = true;
    });
    if (!any) {
        if (stats != nullptr) *stats = result;
        return 0;
    }

    // Every candidate is looked up in the queues (a record sent twice, say, may still wait
    // for a buffer its receiver already held); only those that may be queued need the answer.
    g_referenced.clear();
    bool queues_known = scan_queues();
    // Every candidate's holder has ended, so only live receivers can still change what is
    // known of it: a record they take from a queue shows in their landing at the second look.
    // A release cut short needs no longer look: a buffer being taken again is never seen with
    // its stamps half written (stamp_owner).
    struct timespec pause = {0, 20L * 1000 * 1000};
    nanosleep(&pause, nullptr);
    if (!scan_queues()) queues_known = false;
    g_landings.read();
    if (g_landings.writing) queues_known = false;

    live.forget();
    each_slot([&](int p, uint32_t i, SysMsg *s) {
        if (!g_candidates.test(p, i)) return;
        const Stamps st = read_stamps(s, g_landings, gone);
        const int32_t holder = dead_holder(st, pid, live, quiescent);
        if (holder == 0) return; // a live process took it up after all
        if (g_referenced.test(p, i)) {
            ++result.queued;
            return;
        }
        if (st.maybe_queued() && !queues_known) {
            ++result.undecided;
            return;
        }
        if ((flags & PXR_RECLAIM_DRY_RUN) == 0 &&
            pxr_impl::release_checked(0, pxr_impl::MsgSlot{p, i, s}, true) != 0) {
            ++result.undecided;
            return;
        }
        // The holder's landing may still hold the record (it died before it emptied it, or
        // before it stamped the buffer): emptied, so it never names the buffer's next owner.
        if ((flags & PXR_RECLAIM_DRY_RUN) == 0)
            pxr_impl::release_landing(holder, pxr_impl::buffer_ref(i, uint32_t(p)));
        ++result.returned;
        if (listed < capacity) list[listed++] = PXR_reclaimed_buffer{uint32_t(p), i, holder};
    });
    if (stats != nullptr) *stats = result;
    return 0;
}
