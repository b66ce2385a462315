#include "check.h"

#include "tool.h"

#include "env/lfpool.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstring>
#include <map>
#include <sys/msg.h>
#include <sys/shm.h>

namespace pxrtool {

namespace {

constexpr int32_t kMaxBuffers = 65000;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

bool pid_alive(int32_t pid) {
    if (pid <= 0) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

std::vector<PidCount> tally(const std::map<int32_t, uint32_t> &by_pid) {
    std::vector<PidCount> out;
    for (const auto &[pid, n] : by_pid) out.push_back({pid, n, pid_alive(pid)});
    return out;
}

// Slots are read by copy: the array may be shared with running processes, and a copy keeps
// each decision based on one reading of a field.
struct SlotView {
    SysMsg sys;
    uint32_t rear_guard;
};

SlotView read_slot(const uint8_t *array, uint32_t stride, uint32_t i) {
    SlotView v;
    const uint8_t *base = array + std::size_t(i) * stride;
    std::memcpy(&v.sys, base, sizeof v.sys);
    std::memcpy(&v.rear_guard, base + stride - 4, sizeof v.rear_guard);
    return v;
}

// The free list as walked: the slots visited in order, and how the walk ended.
struct Walk {
    std::vector<uint32_t> order;
    bool out_of_range = false;
    uint32_t bad_word = 0;
    bool cycle = false;
};

Walk walk_list(const uint8_t *array, uint32_t stride, int32_t num_msgs, uint32_t first,
               std::vector<uint8_t> &listed) {
    Walk w;
    uint32_t idx = first;
    for (;;) {
        if (idx >= uint32_t(num_msgs)) {
            w.out_of_range = true;
            w.bad_word = idx;
            break;
        }
        if (listed[idx]) {
            w.cycle = true;
            break;
        }
        listed[idx] = 1;
        w.order.push_back(idx);
        uint32_t nx;
        std::memcpy(&nx, array + std::size_t(idx) * stride + offsetof(SysMsg, next), sizeof nx);
        if (nx == PXR_NO_INDEX) break;
        idx = nx;
    }
    return w;
}

uint32_t tag_of(const uint8_t *array, uint32_t stride, uint32_t idx) {
    uint32_t count;
    std::memcpy(&count, array + std::size_t(idx) * stride + offsetof(SysMsg, getmem_count),
                sizeof count);
    return pxr::lf::list_word(count, idx);
}

void check_list_ends(PartitionCheck &r, const PartitionHeader &h, const uint8_t *array,
                     const Walk &w) {
    if (w.order.empty()) return;
    const uint32_t last = w.order.back();
    if (!r.atomic) {
        if (h.free_tail != last)
            r.problems.push_back(
                format("free_tail is %u but the free list ends at slot %u", h.free_tail, last));
        return;
    }
    // Lock-free form: head and tail carry the tag of the slot they name, and the tail may lag
    // one slot behind the real end of the list.
    const uint32_t head_idx = pxr::lf::word_index(h.free_head);
    if (h.free_head != tag_of(array, h.stride, head_idx))
        r.problems.push_back(format("free_head 0x%08x carries a stale tag (slot tag 0x%08x)",
                                    h.free_head, tag_of(array, h.stride, head_idx)));
    const uint32_t tail_idx = pxr::lf::word_index(h.free_tail);
    const bool tail_at_end = tail_idx == last;
    const bool tail_lags = w.order.size() >= 2 && tail_idx == w.order[w.order.size() - 2];
    if (!tail_at_end && !tail_lags)
        r.problems.push_back(format("free_tail names slot %u, which is neither the end of the "
                                    "free list (slot %u) nor the slot before it",
                                    tail_idx, last));
    else if (tail_idx < uint32_t(h.num_msgs) && h.free_tail != tag_of(array, h.stride, tail_idx))
        r.problems.push_back(format("free_tail 0x%08x carries a stale tag", h.free_tail));
}

template <typename T>
T *map_segment(int key, std::size_t *bytes) {
    int id = shmget(key, 0, 0);
    if (id < 0) return nullptr;
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) != 0) return nullptr;
    void *p = shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void *>(-1)) return nullptr;
    if (bytes != nullptr) *bytes = ds.shm_segsz;
    return static_cast<T *>(p);
}

void print_pids(FILE *out, const char *what, const std::vector<PidCount> &pids) {
    for (const PidCount &c : pids)
        std::fprintf(out, "      %s pid %d: %u%s\n", what, int(c.pid), c.buffers,
                     c.pid == 0 ? "" : (c.alive ? " (running)" : " (gone)"));
}

} // namespace

PartitionCheck check_partition(int partition, const PartitionHeader *header, const uint8_t *array,
                               std::size_t array_bytes, bool atomic) {
    PartitionCheck r;
    r.partition = partition;
    r.atomic = atomic;
    if (header == nullptr || array == nullptr) return r;
    r.present = true;

    PartitionHeader h;
    std::memcpy(&h, header, sizeof h);
    r.num_msgs = h.num_msgs;
    r.param_size = h.param_size;
    r.alloc_count = h.alloc_count;

    // Geometry first: without it no slot can be found.
    if (h.num_msgs < 1 || h.num_msgs > kMaxBuffers) {
        r.problems.push_back(format("num_msgs %d is outside 1..%d", h.num_msgs, kMaxBuffers));
        return r;
    }
    if (h.param_size > 0xFFFFFFFFu - PXR_SLOT_OVERHEAD ||
        h.stride != h.param_size + PXR_SLOT_OVERHEAD) {
        r.problems.push_back(
            format("stride %u does not match parameter size %u", h.stride, h.param_size));
        return r;
    }
    if (std::size_t(h.num_msgs) * h.stride > array_bytes) {
        r.problems.push_back(format("%d slots of %u bytes do not fit the %zu-byte message array",
                                    h.num_msgs, h.stride, array_bytes));
        return r;
    }

    std::vector<uint8_t> listed(std::size_t(h.num_msgs), 0);
    Walk w;
    if (!atomic && h.free_head == PXR_NO_INDEX) {
        // Empty list in the locked form; free_tail is stale then.
    } else {
        const uint32_t first = atomic ? pxr::lf::word_index(h.free_head) : h.free_head;
        w = walk_list(array, h.stride, h.num_msgs, first, listed);
    }
    if (w.out_of_range) {
        ++r.bad_links;
        r.problems.push_back(
            format("free list link %u is beyond the %d buffers", w.bad_word, h.num_msgs));
    }
    if (w.cycle) {
        r.cycle = true;
        r.problems.push_back(format("free list runs into a cycle after %zu slots", w.order.size()));
    }
    if (!w.out_of_range && !w.cycle) check_list_ends(r, h, array, w);

    std::map<int32_t, uint32_t> by_allocator, by_receiver;
    uint32_t odd_allocated_values = 0;
    for (int32_t i = 0; i < h.num_msgs; ++i) {
        const SlotView s = read_slot(array, h.stride, uint32_t(i));
        if (s.sys.index != uint32_t(i) || s.sys.partition != partition) ++r.bad_identity;
        if (s.sys.front_guard != PXR_FRONT_GUARD || s.rear_guard != PXR_REAR_GUARD)
            ++r.damaged_guards;
        if (s.sys.allocated > 1) ++odd_allocated_values;
        const bool marked = s.sys.allocated != 0;
        if (listed[std::size_t(i)]) {
            if (marked)
                ++r.in_both;
            else
                ++r.on_free_list;
        } else if (marked) {
            ++r.allocated;
            ++by_allocator[s.sys.getmem_pid];
            ++by_receiver[s.sys.receive_pid];
        } else {
            ++r.in_neither;
        }
    }
    r.allocators = tally(by_allocator);
    r.receivers = tally(by_receiver);

    if (r.bad_identity != 0)
        r.problems.push_back(format("%u slots carry a wrong index or partition", r.bad_identity));
    if (r.damaged_guards != 0)
        r.problems.push_back(format("%u slots have a damaged guard", r.damaged_guards));
    if (odd_allocated_values != 0)
        r.problems.push_back(
            format("%u slots hold an allocated mark other than 0 or 1", odd_allocated_values));
    if (r.in_neither != 0)
        r.problems.push_back(
            format("%u buffers are neither on the free list nor allocated", r.in_neither));
    if (r.in_both != 0)
        r.problems.push_back(
            format("%u buffers are on the free list and marked allocated", r.in_both));
    if (r.alloc_count != r.allocated)
        r.problems.push_back(
            format("alloc_count is %u but %u buffers are allocated", r.alloc_count, r.allocated));
    if (atomic && !w.out_of_range && !w.cycle && w.order.empty())
        r.problems.push_back("the lock-free free list is empty");
    if (h.max_alloc < h.alloc_count)
        r.problems.push_back(
            format("max_alloc %u is below alloc_count %u", h.max_alloc, h.alloc_count));
    if (h.max_alloc_reset > h.max_alloc)
        r.problems.push_back(
            format("max_alloc_reset %u is above max_alloc %u", h.max_alloc_reset, h.max_alloc));
    if (h.cong_status > 1) r.problems.push_back(format("cong_status is %u", h.cong_status));
    return r;
}

bool EnvironmentCheck::consistent() const {
    return present && problems.empty() && partitions[0].consistent() && partitions[1].consistent();
}

int check_environment(EnvironmentCheck &out) {
    out = EnvironmentCheck{};
    out.partitions[0].partition = 0;
    out.partitions[1].partition = 1;
    const CommonArea *ca = map_segment<const CommonArea>(PXR_KEY_COMMON_AREA, nullptr);
    if (ca == nullptr) {
        if (shmget(PXR_KEY_COMMON_AREA, 0, 0) < 0) return 2;
        // It exists but cannot be read (a mode that excludes this user): nothing is verified.
        out.present = true;
        out.problems.push_back(std::string("cannot map the common area: ") + std::strerror(errno));
        return 1;
    }
    out.present = true;
    out.atomic = (ca->atomic_mode & 1u) != 0;

    for (int p = 0; p < 2; ++p) {
        std::size_t header_bytes = 0, array_bytes = 0;
        auto *h = map_segment<const PartitionHeader>(PXR_KEY_PARTITION_HEADER + p, &header_bytes);
        auto *a = map_segment<const uint8_t>(PXR_KEY_MSG_ARRAY + p, &array_bytes);
        if (h != nullptr && header_bytes < sizeof(PartitionHeader)) {
            out.problems.push_back(format("partition %d header segment is too small", p));
        } else if (h != nullptr && a == nullptr) {
            out.problems.push_back(format("partition %d has a header but no message array", p));
        } else {
            out.partitions[p] = check_partition(p, h, a, array_bytes, out.atomic);
        }
        out.partitions[p].partition = p;
        out.partitions[p].atomic = out.atomic;
        if (h != nullptr) shmdt(h);
        if (a != nullptr) shmdt(a);
    }

    for (const ModuleQueueEntry &e : ca->module_queues) {
        if (e.msqid == PXR_NO_QUEUE || (e.queue_flags & 1u) == 0) continue;
        msqid_ds ds{};
        if (msgctl(int(e.msqid), IPC_STAT, &ds) == 0) out.queued_records += uint32_t(ds.msg_qnum);
    }
    shmdt(ca);
    return out.consistent() ? 0 : 1;
}

void print_check(FILE *out, const EnvironmentCheck &check) {
    if (!check.present) {
        std::fprintf(out, "No environment.\n");
        return;
    }
    for (const PartitionCheck &p : check.partitions) {
        if (!p.present) {
            std::fprintf(out, "Partition[%d] - Not defined.\n", p.partition);
            continue;
        }
        std::fprintf(out, "Partition[%d]: %d buffers of %u parameter bytes, %s form\n", p.partition,
                     p.num_msgs, p.param_size, p.atomic ? "lock-free" : "locked");
        std::fprintf(out, "    on the free list:     %u\n", p.on_free_list);
        std::fprintf(out, "    allocated:            %u (alloc_count %u)\n", p.allocated,
                     p.alloc_count);
        print_pids(out, "allocated by", p.allocators);
        print_pids(out, "last received by", p.receivers);
        std::fprintf(out, "    in neither place:     %u\n", p.in_neither);
        std::fprintf(out, "    in both places:       %u\n", p.in_both);
        std::fprintf(out, "    links out of range:   %u\n", p.bad_links);
        std::fprintf(out, "    cycle in the list:    %s\n", p.cycle ? "yes" : "no");
        std::fprintf(out, "    damaged guards:       %u\n", p.damaged_guards);
        for (const std::string &s : p.problems) std::fprintf(out, "    PROBLEM: %s\n", s.c_str());
    }
    for (const std::string &s : check.problems) std::fprintf(out, "PROBLEM: %s\n", s.c_str());
    std::fprintf(out, "Records waiting in module queues: %u\n", check.queued_records);
    std::fprintf(out, "%s\n", check.consistent() ? "Consistent." : "INCONSISTENT.");
}

} // namespace pxrtool
