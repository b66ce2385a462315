#include "check.h"

#include "env/lfpool.h"
#include "groups.h"
#include "rings.h"
#include "tool.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <map>
#include <sys/msg.h>
#include <sys/shm.h>

namespace pxrtool {

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::vector<PidCount> tally(const std::map<int32_t, uint32_t> &by_pid) {
    std::vector<PidCount> out;
    for (const auto &[pid, n] : by_pid) out.push_back({pid, n, pid_alive(pid)});
    return out;
}

// The geometry problem that leaves no slot to find, or an empty text.
std::string geometry_problem(const PartitionHeader &h, std::size_t array_bytes) {
    if (geometry_fits(h, array_bytes)) return {};
    if (h.num_msgs < 1 || h.num_msgs > kMaxBuffers)
        return format("num_msgs %d is outside 1..%d", h.num_msgs, kMaxBuffers);
    if (h.param_size > 0xFFFFFFFFu - PXR_SLOT_OVERHEAD ||
        h.stride != h.param_size + PXR_SLOT_OVERHEAD)
        return format("stride %u does not match parameter size %u", h.stride, h.param_size);
    return format("%d slots of %u bytes do not fit the %zu-byte message array", h.num_msgs,
                  h.stride, array_bytes);
}

// The free list as walked: the slots visited in order, and how the walk ended.
struct Walk {
    std::vector<uint32_t> order;
    std::vector<uint8_t> listed; // per slot
    bool out_of_range = false;
    uint32_t bad_word = 0;
    bool cycle = false;
};

Walk walk_list(const PartitionSnapshot &snap, bool atomic) {
    Walk w;
    w.listed.assign(snap.slots.size(), 0);
    const PartitionHeader &h = snap.header;
    // An empty list in the locked form; its free_tail is stale then.
    if (!atomic && h.free_head == PXR_NO_INDEX) return w;
    uint32_t idx = atomic ? pxr_impl::lf::word_index(h.free_head) : h.free_head;
    for (;;) {
        if (idx >= snap.slots.size()) {
            w.out_of_range = true;
            w.bad_word = idx;
            return w;
        }
        if (w.listed[idx]) {
            w.cycle = true;
            return w;
        }
        w.listed[idx] = 1;
        w.order.push_back(idx);
        idx = snap.slots[idx].sys.next;
        if (idx == PXR_NO_INDEX) return w;
    }
}

uint32_t tag_of(const PartitionSnapshot &snap, uint32_t idx) {
    return pxr_impl::lf::list_word(snap.slots[idx].sys.getmem_count, idx);
}

void check_walk(PartitionCheck &r, const Walk &w) {
    if (w.out_of_range) {
        ++r.bad_links;
        r.problems.push_back(
            format("free list link %u is beyond the %d buffers", w.bad_word, r.num_msgs));
    }
    if (w.cycle) {
        r.cycle = true;
        r.problems.push_back(format("free list runs into a cycle after %zu slots", w.order.size()));
    }
    if (r.atomic && !w.out_of_range && !w.cycle && w.order.empty())
        r.problems.push_back("the lock-free free list is empty");
}

void check_list_ends(PartitionCheck &r, const PartitionSnapshot &snap, const Walk &w) {
    if (w.order.empty() || w.out_of_range || w.cycle) return;
    const PartitionHeader &h = snap.header;
    const uint32_t last = w.order.back();
    if (!r.atomic) {
        if (h.free_tail != last)
            r.problems.push_back(
                format("free_tail is %u but the free list ends at slot %u", h.free_tail, last));
        return;
    }
    // Lock-free form: head and tail carry the tag of the slot they name, and the tail may lag
    // one slot behind the real end of the list.
    const uint32_t head_idx = pxr_impl::lf::word_index(h.free_head);
    if (h.free_head != tag_of(snap, head_idx))
        r.problems.push_back(format("free_head 0x%08x carries a stale tag (slot tag 0x%08x)",
                                    h.free_head, tag_of(snap, head_idx)));
    const uint32_t tail_idx = pxr_impl::lf::word_index(h.free_tail);
    const bool tail_at_end = tail_idx == last;
    const bool tail_lags = w.order.size() >= 2 && tail_idx == w.order[w.order.size() - 2];
    if (!tail_at_end && !tail_lags)
        r.problems.push_back(format("free_tail names slot %u, which is neither the end of the "
                                    "free list (slot %u) nor the slot before it",
                                    tail_idx, last));
    else if (h.free_tail != tag_of(snap, tail_idx))
        r.problems.push_back(format("free_tail 0x%08x carries a stale tag", h.free_tail));
}

// The holder of an allocated buffer when it has ended, else 0: the rule and the liveness test
// of a reclaim, so that the listing names what `pxr reclaim` returns.
int32_t gone_holder(const SysMsg &s, bool atomic) {
    const int32_t pid = PXR_buffer_holder(&s, atomic ? PXR_HOLDER_ATOMIC : 0);
    return pid > 0 && PXR_process_gone(pid) == 1 ? pid : 0;
}

// Sorts every slot into the list, allocated, both or neither, and checks its identity words.
void classify_slots(PartitionCheck &r, const PartitionSnapshot &snap, const Walk &w, bool atomic) {
    const SharesView shares;
    std::map<int32_t, uint32_t> by_allocator, by_receiver;
    uint32_t odd_allocated_values = 0;
    for (uint32_t i = 0; i < snap.slots.size(); ++i) {
        const SlotView &s = snap.slots[i];
        if (s.sys.index != i || s.sys.partition != r.partition) ++r.bad_identity;
        if (s.sys.front_guard != PXR_FRONT_GUARD || s.rear_guard != PXR_REAR_GUARD)
            ++r.damaged_guards;
        if (s.sys.allocated > 1) ++odd_allocated_values;
        const bool marked = s.sys.allocated != 0;
        if (w.listed[i]) {
            ++(marked ? r.in_both : r.on_free_list);
        } else if (marked) {
            ++r.allocated;
            ++by_allocator[s.sys.getmem_pid];
            ++by_receiver[s.sys.receive_pid];
            // A shared buffer: one entry per share whose holder has ended, as a reclaim gives
            // each back.
            if (const ShareRecord *sr = shares.of(r.partition, i)) {
                for (int32_t pid : sr->holder)
                    if (pid > 0 && PXR_process_gone(pid) == 1) r.held_by_gone.push_back({i, pid});
            } else if (const int32_t pid = gone_holder(s.sys, atomic); pid != 0) {
                r.held_by_gone.push_back({i, pid});
            }
        } else {
            ++r.in_neither;
        }
    }
    r.allocators = tally(by_allocator);
    r.receivers = tally(by_receiver);
    if (odd_allocated_values != 0)
        r.problems.push_back(
            format("%u slots hold an allocated mark other than 0 or 1", odd_allocated_values));
}

// Problems found by counting, and the header's statistics against each other.
void check_counts(PartitionCheck &r, const PartitionHeader &h) {
    if (r.bad_identity != 0)
        r.problems.push_back(format("%u slots carry a wrong index or partition", r.bad_identity));
    if (r.damaged_guards != 0)
        r.problems.push_back(format("%u slots have a damaged guard", r.damaged_guards));
    if (r.in_neither != 0)
        r.problems.push_back(
            format("%u buffers are neither on the free list nor allocated", r.in_neither));
    if (r.in_both != 0)
        r.problems.push_back(
            format("%u buffers are on the free list and marked allocated", r.in_both));
    if (r.alloc_count != r.allocated)
        r.problems.push_back(
            format("alloc_count is %u but %u buffers are allocated", r.alloc_count, r.allocated));
    if (h.max_alloc < h.alloc_count)
        r.problems.push_back(
            format("max_alloc %u is below alloc_count %u", h.max_alloc, h.alloc_count));
    if (h.max_alloc_reset > h.max_alloc)
        r.problems.push_back(
            format("max_alloc_reset %u is above max_alloc %u", h.max_alloc_reset, h.max_alloc));
    if (h.cong_status > 1) r.problems.push_back(format("cong_status is %u", h.cong_status));
}

// Why a partition's segments cannot be checked at all, or an empty text.
std::string mapping_problem(int p, const PartitionView &v) {
    if (v.header && v.h() == nullptr) return format("partition %d header segment is too small", p);
    if (v.header && !v.array) return format("partition %d has a header but no message array", p);
    return "";
}

// Records in the kernel queues, and in the rings of an environment that has them.
uint32_t queued_records(const CommonArea &ca) {
    const RingsView rings;
    uint32_t n = 0;
    for (uint32_t m = 0; m < uint32_t(PXR_MODULE_COUNT); ++m) {
        const ModuleQueueEntry &e = ca.module_queues[m];
        if (e.msqid == PXR_NO_QUEUE || (e.queue_flags & 1u) == 0) continue;
        RingFigures ring;
        msqid_ds ds{};
        if (rings.figures(m, e.msqid, ring))
            n += ring.waiting;
        else if (msgctl(int(e.msqid), IPC_STAT, &ds) == 0)
            n += uint32_t(ds.msg_qnum);
    }
    return n;
}

void pause_for(int ms) {
    timespec ts{ms / 1000, long(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

} // namespace

bool PartitionSnapshot::same_as(const PartitionSnapshot &o) const {
    return std::memcmp(&header, &o.header, sizeof header) == 0 && slots.size() == o.slots.size() &&
           std::memcmp(slots.data(), o.slots.data(), slots.size() * sizeof(SlotView)) == 0;
}

PartitionSnapshot snapshot_partition(const PartitionHeader *header, const uint8_t *array,
                                     std::size_t array_bytes) {
    PartitionSnapshot snap;
    std::memcpy(&snap.header, header, sizeof snap.header);
    snap.geometry = geometry_problem(snap.header, array_bytes);
    if (!snap.geometry.empty()) return snap;
    const uint32_t stride = snap.header.stride;
    snap.slots.resize(std::size_t(snap.header.num_msgs));
    for (std::size_t i = 0; i < snap.slots.size(); ++i) {
        const auto *base = reinterpret_cast<const uint8_t *>(
            slot_in(array, array_bytes, stride, uint32_t(i))); // inside: the geometry says so
        std::memcpy(&snap.slots[i].sys, base, sizeof(SysMsg));
        std::memcpy(&snap.slots[i].rear_guard, base + stride - 4, sizeof(uint32_t));
    }
    return snap;
}

PartitionCheck check_snapshot(int partition, const PartitionSnapshot &snap, bool atomic) {
    PartitionCheck r;
    r.partition = partition;
    r.atomic = atomic;
    r.present = true;
    r.num_msgs = snap.header.num_msgs;
    r.param_size = snap.header.param_size;
    r.alloc_count = snap.header.alloc_count;
    // Without the geometry no slot can be found.
    if (!snap.geometry.empty()) {
        r.problems.push_back(snap.geometry);
        return r;
    }
    const Walk w = walk_list(snap, atomic);
    check_walk(r, w);
    check_list_ends(r, snap, w);
    classify_slots(r, snap, w, atomic);
    check_counts(r, snap.header);
    return r;
}

PartitionCheck check_partition(int partition, const PartitionHeader *header, const uint8_t *array,
                               std::size_t array_bytes, bool atomic) {
    if (header == nullptr || array == nullptr) {
        PartitionCheck r;
        r.partition = partition;
        r.atomic = atomic;
        return r;
    }
    return check_snapshot(partition, snapshot_partition(header, array, array_bytes), atomic);
}

bool EnvironmentCheck::consistent() const {
    return present && problems.empty() && partitions[0].consistent() && partitions[1].consistent();
}

int check_environment(EnvironmentCheck &out, int attempts, int pause_ms) {
    out = EnvironmentCheck{};
    out.partitions[0].partition = 0;
    out.partitions[1].partition = 1;
    CommonView view;
    std::string why;
    if (!view.map(why)) {
        if (shmget(PXR_KEY_COMMON_AREA, 0, 0) < 0) return kCheckAbsent;
        // It exists but cannot be read (a mode that excludes this user): nothing is verified.
        out.present = true;
        out.problems.push_back(why);
        return kCheckDamaged;
    }
    const CommonArea *ca = view.get();
    out.present = true;
    out.atomic = (ca->atomic_mode & 1u) != 0;
    const PartitionView mapped[2] = {PartitionView(0), PartitionView(1)};
    bool checkable[2];
    for (int p = 0; p < 2; ++p) {
        const std::string problem = mapping_problem(p, mapped[p]);
        if (!problem.empty()) out.problems.push_back(problem);
        checkable[p] = mapped[p].h() != nullptr && mapped[p].array && problem.empty();
    }

    // Damage must hold still: three identical snapshots in a row, so that a process that is
    // merely slow inside a take or a release (on a loaded host) is not taken for damage.
    PartitionSnapshot previous[2], current[2];
    int alike = 0;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) pause_for(pause_ms);
        bool same = attempt > 0, consistent = true;
        for (int p = 0; p < 2; ++p) {
            if (!checkable[p]) continue;
            current[p] =
                snapshot_partition(mapped[p].h(), mapped[p].array.data(), mapped[p].array.size());
            out.partitions[p] = check_snapshot(p, current[p], out.atomic);
            consistent = consistent && out.partitions[p].consistent();
            same = same && current[p].same_as(previous[p]);
            previous[p] = std::move(current[p]);
        }
        out.snapshots = uint32_t(attempt + 1);
        alike = same ? alike + 1 : 0;
        if (consistent || alike == 2) break;
        out.busy = attempt + 1 == attempts;
    }
    for (int p = 0; p < 2; ++p) {
        out.partitions[p].partition = p;
        out.partitions[p].atomic = out.atomic;
    }
    out.queued_records = queued_records(*ca);
    out.dropped_records = dropped_records();
    if (out.busy && out.problems.empty()) return kCheckBusy;
    return out.consistent() ? kCheckConsistent : kCheckDamaged;
}

} // namespace pxrtool
