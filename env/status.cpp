// The status report and the list of allocated buffers, printed on standard output.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cstdint>
#include <cstdio>

namespace {

// The version of the library as the report names it (not the interface version).
constexpr int kVersionMajor = 6;
constexpr int kVersionMinor = 8;
constexpr int kVersionPatch = 18;
constexpr int kVersionBuild = 1312;

constexpr uint16_t kUnlistedType = 0xC002;

void print_time(const char *prefix, const Timestamp &ts) {
    printf("%s%04d-%02d-%02d %02d:%02d:%02d.%03d\n", prefix, int(ts.year), int(ts.month),
           int(ts.day), int(ts.hour), int(ts.minute), int(ts.second), int(ts.usec / 1000));
}

void print_now(const char *prefix) {
    Timestamp now{};
    PLAT_timestamp(&now);
    print_time(prefix, now);
}

// Buffers on a locked-form free list. The walk is bounded by the buffer count and stops at
// an index outside the partition, so a damaged list cannot make it run away.
int32_t count_free_list(int p) {
    const PartitionHeader *h = partition_hdr[p];
    const uint32_t limit = uint32_t(partition_geometry[p].num_msgs);
    int32_t count = 0;
    for (uint32_t i = h->free_head; i != PXR_NO_INDEX && i < limit && uint32_t(count) < limit;
         i = pxr_impl::slot_at(p, i)->next)
        ++count;
    return count;
}

void print_partition(int p, int32_t alloc, int32_t free_count) {
    const PartitionHeader *h = partition_hdr[p];
    printf("  Partition[%d]\n", p);
    printf("    Parameter size:         %d\n", int(h->param_size));
    printf("    MSGs in partition:      %d\n", int(h->num_msgs));
    printf("    MSGs allocated :        %d\n", int(alloc));
    printf("    MSGs free:              %d\n", int(free_count));
    printf("    Maximum MSGs allocated: %d\n", int(h->max_alloc));
    printf("    Max alloc since reset:  %d\n", int(h->max_alloc_reset));
    print_time("    Time of last max:       ", h->max_alloc_time);
    printf("    Out of MSG count:       %d\n", int(h->out_of_msg));
    printf("    Congestion onset:       %d\n", int(h->cong_onset));
    printf("    Congestion abate:       %d\n", int(h->cong_abate));
    printf("    Congestion status:      %d\n", int(h->cong_status));
    printf("    Congestion count:       %d\n", int(h->cong_count));
    printf("    Cong count since reset: %d\n", int(h->cong_count_reset));
    print_time("    Last congestion onset:  ", h->cong_onset_time);
}

} // namespace

/// Prints the system status and one block per partition.
/// Attaches lazily (no pause); without an environment: title and "  Environment not available.".
uint32_t PXR_get_status(void) noexcept {
    print_now("\nVUVEVOV System status:      ");
    printf("\n");
    if (!pxr_impl::lazy_attach(0)) {
        printf("  Environment not available.\n");
        return 0;
    }
    const CommonArea *ca = common_ptr;
    print_time("  System restart time:      ", ca->restart_time);
    printf("  Congestion module Id:     0x%x\n", ca->congestion_module);
    printf("  PXRLIB version:           %d.%d.%d (Build %d)\n", kVersionMajor, kVersionMinor,
           kVersionPatch, kVersionBuild);
    printf("  Internal system error:    %d\n", int(ca->internal_errors));
    bool atomic = (ca->atomic_mode & 1u) != 0;
    printf("  PXRLIB Atomic:            ");
    printf("%s\n", atomic ? "Enabled" : "Disabled");

    for (int p = 0; p < pxr_impl::kPartitions; ++p) {
        // A failed lock detaches the process, so the pointer is looked at afresh each time.
        if (partition_hdr[p] == nullptr) {
            printf("  Partition[%d] - Not defined.\n", p);
            continue;
        }
        PartitionHeader *h = partition_hdr[p];
        int32_t alloc = int32_t(pxr_impl::shared(h->alloc_count).load());
        int32_t free_count;
        if (atomic) {
            free_count = h->num_msgs - alloc;
        } else {
            if (_grab_semaphore(partition_lock_id[p]) != 0) continue;
            free_count = count_free_list(p);
            if (_release_semaphore(partition_lock_id[p]) != 0) continue;
        }
        print_partition(p, alloc, free_count);
    }
    return 0;
}

/// Lists every allocated buffer (except those of type 0xC002) as a message trace line.
uint32_t PXR_show_msgs(void) noexcept {
    print_now("\nVUVEVOV Allocated MSGs:     ");
    printf("\n");
    for (int p = 0; p < pxr_impl::kPartitions; ++p) {
        if (common_ptr == nullptr || partition_hdr[p] == nullptr) continue;
        if (_grab_semaphore(partition_lock_id[p]) != 0) continue;
        const int32_t count = partition_geometry[p].num_msgs; // as checked when attached
        for (int32_t i = 0; i < count; ++i) {
            SysMsg *slot = pxr_impl::slot_at(p, uint32_t(i));
            const MSG *msg = pxr_impl::msg_of(slot);
            if (slot->allocated != 0 && msg->type != kUnlistedType) trace_msg(msg);
        }
        _release_semaphore(partition_lock_id[p]);
    }
    return 0;
}
