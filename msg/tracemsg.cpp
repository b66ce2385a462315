// One-line text form of messages and buffer slots, for logs and the status report.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cstdint>
#include <cstdio>

namespace {

// The attached partition whose message array holds msg, or -1. Decided from the address
// alone, so a MSG that lives outside every partition (a local record) is never looked behind.
int partition_holding(const MSG *msg) noexcept {
    auto addr = reinterpret_cast<std::uintptr_t>(msg);
    for (int p = 0; p < pxr::kPartitions; ++p) {
        const PartitionHeader *h = partition_hdr[p];
        const uint8_t *base = partition_msgarray[p];
        if (h == nullptr || base == nullptr || h->num_msgs <= 0) continue;
        auto first = reinterpret_cast<std::uintptr_t>(base) + PXR_SYSMSG_SIZE;
        auto end = reinterpret_cast<std::uintptr_t>(base) +
                   std::uintptr_t(uint32_t(h->num_msgs)) * h->stride;
        if (addr >= first && addr < end) return p;
    }
    return -1;
}

// Parameter bytes to print. A buffer slot never holds more than its partition's parameter
// size, so a larger len (a malformed message) is cut there instead of reading the next slot.
uint32_t printable_len(const MSG *msg) noexcept {
    uint32_t n = msg->len;
    int p = partition_holding(msg);
    if (p >= 0 && n > partition_hdr[p]->param_size) n = partition_hdr[p]->param_size;
    return n;
}

} // namespace

/// Writes the message line.
/// A MSG inside an attached partition prints at most param_size bytes; any other prints `len`.
int trace_msg_file(FILE *stream, const MSG *msg) noexcept {
    fprintf(stream, "M-I%.4x-t%.4x-i%.4x-", PXR_get_instance(msg), unsigned(msg->type),
            unsigned(msg->id));
    fprintf(stream, "f%.2x-", unsigned(msg->src));
    fprintf(stream, "d%.2x-", unsigned(msg->dst));
    fprintf(stream, "s%.2x", unsigned(msg->status));
    if (msg->len != 0) {
        static constexpr char kHex[] = "0123456789abcdef";
        fprintf(stream, "-p(%d)", int(msg->len));
        uint32_t n = printable_len(msg);
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
/// If the slot's partition is not attached here (no stride known) the rear guard prints 00000000.
int trace_partition_sysmsg_file(FILE *stream, const SysMsg *sysmsg, uint32_t show_all) noexcept {
    SysMsg *slot = const_cast<SysMsg *>(sysmsg);
    const MSG *msg = pxr::msg_of(slot);
    if (msg->type == 0xC002 && show_all == 0) return 0;

    uint32_t rear = 0;
    int32_t p = sysmsg->partition;
    if ((p == 0 || p == 1) && partition_hdr[p] != nullptr)
        rear = *pxr::rear_guard_of(slot, partition_hdr[p]->stride);

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
