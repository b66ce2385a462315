// The message trace text on arbitrary MSG bytes, for a MSG outside every partition (its len is
// trusted; the record is made large enough for any len) and for one inside a partition built
// from the input (len beyond the parameter size must not lead the trace out of its slot; the
// array is allocated to its exact size, so AddressSanitizer sees any read beyond it).
#include "pxrlib.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

FILE *sink() {
    static FILE *f = fopen("/dev/null", "w");
    return f;
}

size_t line_length(const MSG *m, uint32_t printed) {
    char head[64];
    const int n = snprintf(head, sizeof head, "M-I%.4x-t%.4x-i%.4x-f%.2x-d%.2x-s%.2x", m->instance,
                           unsigned(m->type), unsigned(m->id), unsigned(m->src), unsigned(m->dst),
                           unsigned(m->status));
    size_t len = size_t(n) + 1;
    if (m->len != 0)
        len += size_t(snprintf(head, sizeof head, "-p(%d)", int(m->len))) + 2 * printed;
    return len;
}

// The trace line of m is as long as its fields and printed parameter bytes make it.
void check_line(const MSG *m, uint32_t printed) {
    char *text = nullptr;
    size_t text_len = 0;
    FILE *out = open_memstream(&text, &text_len);
    trace_msg_file(out, m);
    fclose(out);
    if (text_len != line_length(m, printed)) abort();
    free(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 + PXR_MSG_HEADER_SIZE) return 0;
    const uint8_t mode = data[0];
    data += 1;
    size -= 1;

    if ((mode & 1) == 0) {
        // One zeroed record for all inputs; only the bytes the last input wrote are cleared.
        static std::vector<uint8_t> rec(PXR_MSG_HEADER_SIZE + 65536, 0);
        static size_t dirty = 0;
        std::memset(rec.data(), 0, dirty);
        dirty = size < rec.size() ? size : rec.size();
        std::memcpy(rec.data(), data, dirty);
        const MSG *m = reinterpret_cast<const MSG *>(rec.data());
        check_line(m, m->len);
        return 0;
    }

    // A partition of 1..4 slots with a parameter size of 0..252 bytes, filled from the input.
    // The size is a multiple of 4: with any other size the slots after the first are not
    // aligned for their 32-bit words, which the library reads as plain fields.
    PartitionHeader hdr{};
    hdr.param_size = data[0] & ~3u;
    hdr.num_msgs = 1 + (data[1] & 3);
    hdr.stride = hdr.param_size + PXR_SLOT_OVERHEAD;
    const uint32_t pick = data[2] % uint32_t(hdr.num_msgs);
    const size_t bytes = size_t(hdr.num_msgs) * hdr.stride;
    uint8_t *array = static_cast<uint8_t *>(malloc(bytes));
    for (size_t i = 0; i < bytes; ++i) array[i] = data[3 + i % (size - 3)];
    for (int32_t i = 0; i < hdr.num_msgs; ++i) {
        SysMsg *s = reinterpret_cast<SysMsg *>(array + size_t(i) * hdr.stride);
        s->index = uint32_t(i);
        s->partition = 0;
    }
    partition_hdr[0] = &hdr;
    partition_msgarray[0] = array;
    SysMsg *slot = reinterpret_cast<SysMsg *>(array + size_t(pick) * hdr.stride);
    const MSG *m =
        reinterpret_cast<const MSG *>(reinterpret_cast<uint8_t *>(slot) + PXR_SYSMSG_SIZE);
    check_line(m, m->len < hdr.param_size ? m->len : hdr.param_size);
    trace_partition_sysmsg_file(sink(), slot, mode & 2);
    partition_hdr[0] = nullptr;
    partition_msgarray[0] = nullptr;
    free(array);
    return 0;
}
