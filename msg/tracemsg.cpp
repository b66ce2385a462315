// One-line text form of messages and buffer slots, for logs and the status report.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr int kLocalRecord = -1; // outside every attached message array
constexpr int kMisplaced = -2;   // inside a message array, not at a slot's MSG offset

// The attached partition whose buffer's MSG msg is, or one of the two codes above. Decided from
// the address alone, so a MSG that lives outside every partition is never looked behind. The
// geometry is the partition header's, so a partition mapped by other means is traced too.
int partition_holding(const MSG *msg) noexcept {
    const auto addr = reinterpret_cast<std::uintptr_t>(msg);
    for (int p = 0; p < pxr_impl::kPartitions; ++p) {
        const PartitionHeader *h = partition_hdr[p];
        const auto base = reinterpret_cast<std::uintptr_t>(partition_msgarray[p]);
        if (h == nullptr || base == 0 || h->num_msgs <= 0 || h->stride == 0) continue;
        const std::uintptr_t offset = addr - base;
        if (offset >= std::uintptr_t(uint32_t(h->num_msgs)) * h->stride) continue;
        return offset % h->stride == PXR_SYSMSG_SIZE ? p : kMisplaced;
    }
    return kLocalRecord;
}

} // namespace

/// Writes the message line.
/// A MSG inside an attached partition prints at most param_size bytes; a record outside the
/// partitions prints `len`. A null msg or stream, or an address inside a message array that is
/// not a slot's MSG, is refused with -1 and nothing is written.
int trace_msg_file(FILE *stream, const MSG *msg) noexcept {
    if (stream == nullptr || msg == nullptr) return -1;
    const int p = partition_holding(msg);
    if (p == kMisplaced) return -1;
    fprintf(stream, "M-I%.4x-t%.4x-i%.4x-", PXR_get_instance(msg), unsigned(msg->type),
            unsigned(msg->id));
    fprintf(stream, "f%.2x-", unsigned(msg->src));
    fprintf(stream, "d%.2x-", unsigned(msg->dst));
    fprintf(stream, "s%.2x", unsigned(msg->status));
    if (msg->len != 0) {
        static constexpr char kHex[] = "0123456789abcdef";
        fprintf(stream, "-p(%d)", int(msg->len));
        // A buffer never holds more than its partition's parameter size, so a larger len (a
        // malformed message) is cut there instead of reading into the next slot.
        uint32_t n = msg->len;
        if (p >= 0 && n > partition_hdr[p]->param_size) n = partition_hdr[p]->param_size;
        char chunk[512];
        std::size_t used = 0;
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t b = msg->param[i];
            chunk[used++] = kHex[b >> 4];
            chunk[used++] = kHex[b & 0xF];
            if (used == sizeof chunk) {
                fwrite(chunk, 1, used, stream);
                used = 0;
            }
        }
        if (used != 0) fwrite(chunk, 1, used, stream);
    }
    fputc('\n', stream);
    return 0;
}

int trace_msg(const MSG *msg) noexcept {
    return trace_msg_file(stdout, msg);
}

/// Writes the buffer line.
/// The rear guard prints 00000000 for a record that is not a buffer slot of a partition attached
/// here (its stride is unknown). A null sysmsg or stream, or an address inside a message array
/// that is not a slot's start, is refused with -1 and nothing is written.
int trace_partition_sysmsg_file(FILE *stream, const SysMsg *sysmsg, uint32_t show_all) noexcept {
    if (stream == nullptr || sysmsg == nullptr) return -1;
    SysMsg *slot = const_cast<SysMsg *>(sysmsg);
    const MSG *msg = pxr_impl::msg_of(slot);
    const int p = partition_holding(msg);
    if (p == kMisplaced) return -1;
    if (msg->type == 0xC002 && show_all == 0) return 0;

    uint32_t rear = 0;
    if (p >= 0) rear = *pxr_impl::rear_guard_of(slot, partition_hdr[p]->stride);

    fprintf(stream, "SYSMSG: index %d ", int(sysmsg->index));
    fprintf(stream, "MI%d-P%02d-A%1d-", int(sysmsg->index), int(sysmsg->partition),
            int(sysmsg->allocated));
    fprintf(stream, "GP%d-RP%d-SP%d-RP%d-", int(sysmsg->getmem_pid), int(sysmsg->relmem_pid),
            int(sysmsg->send_pid), int(sysmsg->receive_pid));
    fprintf(stream, "NI%d-NPI%d-GMC%d-FG%08x-RG%08x-", int(sysmsg->next),
            int(sysmsg->next_partition), int(sysmsg->getmem_count), sysmsg->front_guard, rear);
    return trace_msg_file(stream, msg);
}

int trace_partition_sysmsg(const SysMsg *sysmsg, uint32_t show_all) noexcept {
    return trace_partition_sysmsg_file(stdout, sysmsg, show_all);
}
