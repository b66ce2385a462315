// Management events: error events and trace events that carry a copy of a traced record
// behind a fixed big-endian header.
#include "pxrlib.h"

#include "env/pxr_internal.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr uint16_t kErrorEvent = 8;
constexpr uint16_t kTraceEvent = 3;
constexpr uint16_t kSelTraceEvent = 0x0F16;

// Traced types with their own rules.
constexpr uint16_t kRefRecord = 0x8001;   // data referenced by offset, length and pointer
constexpr uint16_t kNoDetailA = 0x8006;   // header only, no status or info
constexpr uint16_t kNoDetailB = 0x820E;   // header only, no status or info
constexpr uint16_t kSplitRecord = 0xC000; // data in two buffers, chosen per tracing module

constexpr uint32_t kTraceHeader = 18;
constexpr uint32_t kMaxRefData = 280; // data limit of the fixed-size requests
constexpr uint32_t kFixedRequest = kTraceHeader + kMaxRefData; // 298
constexpr uint32_t kFallbackData = 302; // inline copy when the full size cannot be had
constexpr uint32_t kMaxInlineData = 0xFFFFu - kTraceHeader; // 65517: request fits 16 bits

// Reads a field of a traced record at a byte position; the records of types 0x8001 and
// 0xC000 are laid out by their producers and need not be aligned.
template <typename T>
T field_at(const MSG *record, std::size_t pos) {
    T value;
    std::memcpy(&value, reinterpret_cast<const uint8_t *>(record) + pos, sizeof value);
    return value;
}

void local_memcpy(void *destination, const void *source, int count) {
    auto *d = static_cast<uint8_t *>(destination);
    const auto *s = static_cast<const uint8_t *>(source);
    for (int i = 0; i < count; ++i) d[i] = s[i];
}

MSG *allocate_trace_msg(uint16_t type, uint8_t src, uint8_t dst, uint8_t status, const MSG *traced,
                        uint32_t size, uint32_t instance, int no_detail) {
    MSG *msg = getm(type, 0, 0, uint16_t(size));
    if (msg == nullptr) return nullptr;
    msg->src = src;
    msg->dst = dst;
    msg->status = status;
    msg->info = PXR_get_time();
    PXR_set_instance(instance, msg);
    uint8_t *hdr = msg->param;
    rpackbytes(hdr, 0, traced->src, 1);
    rpackbytes(hdr, 1, traced->dst, 1);
    rpackbytes(hdr, 2, traced->id, 2);
    rpackbytes(hdr, 4, traced->type, 2);
    rpackbytes(hdr, 6, no_detail ? 0u : traced->status, 2);
    rpackbytes(hdr, 8, no_detail ? 0u : traced->info, 4);
    rpackbytes(hdr, 12, 0, 4);
    return msg;
}

// Count of bytes from start to end, after dropping one byte when trim is set; a start behind
// the end gives no bytes instead of a wrapped 16-bit count.
uint32_t part_length(uint16_t end, uint16_t start, bool trim) {
    int32_t n = int32_t(end) - int32_t(start) - (trim ? 1 : 0);
    return n > 0 ? uint32_t(n) : 0u;
}

// Fills the data of a 0xC000 record into data and returns its length.
uint32_t copy_split_record(const MSG *traced, uint8_t src, uint8_t *data) {
    int k = src == 0x4A ? 3 : (src & 15);
    std::size_t seg = 48 + 16 * std::size_t(k);
    uint8_t seg_flags = field_at<uint8_t>(traced, seg);
    uint8_t first_start = field_at<uint8_t>(traced, seg + 1);
    uint16_t second_start = field_at<uint16_t>(traced, seg + 2);
    const auto *second_data = field_at<const uint8_t *>(traced, 24);
    const auto *first_data = field_at<const uint8_t *>(traced, 32);
    uint16_t second_end = field_at<uint16_t>(traced, 40);
    uint16_t first_end = field_at<uint16_t>(traced, 42);

    bool flagged = src == 0x22 || src == 0x23 || src == 0x33 || src == 0x4A || src == 0x71;
    uint32_t first = part_length(first_end, first_start, flagged && (seg_flags & 0x20));
    uint32_t second = part_length(second_end, second_start, flagged && (seg_flags & 0x40));
    if (first > kMaxRefData) {
        first = kMaxRefData;
        second = 0;
    } else if (second > kMaxRefData - first) {
        second = kMaxRefData - first;
    }
    local_memcpy(data, first_data + first_start, int(first));
    local_memcpy(data + first, second_data + second_start, int(second));
    return first + second;
}

/// Builds and sends a trace event of traced.
/// A traced `len` above 65517 skips the full-size request and asks at once for 302 + 18 bytes.
/// A 0xC000 start offset beyond its (trimmed) end offset yields no bytes from that buffer.
int generic_trace(uint16_t type, uint8_t status, const MSG *traced, uint8_t src, uint8_t dst,
                  uint32_t instance) {
    if (traced == nullptr) return PXR_BAD;
    // Tested before anything else, without attaching: a trace must not add to congestion.
    if (PXR_partition_congestion(0) != PXR_OK) return PXR_BAD;

    MSG *msg = nullptr;
    uint32_t data_len = 0;
    switch (traced->type) {
    case kNoDetailA:
    case kNoDetailB:
        msg = allocate_trace_msg(type, src, dst, status, traced, kFixedRequest, instance, 1);
        if (msg == nullptr) return PXR_BAD;
        break;
    case kRefRecord: {
        msg = allocate_trace_msg(type, src, dst, status, traced, kFixedRequest, instance, 0);
        if (msg == nullptr) return PXR_BAD;
        uint32_t n = field_at<uint16_t>(traced, 24);
        if (n > kMaxRefData) n = kMaxRefData;
        const auto *ref = field_at<const uint8_t *>(traced, 32);
        local_memcpy(msg->param + kTraceHeader, ref + field_at<uint8_t>(traced, 21), int(n));
        data_len = n;
        break;
    }
    case kSplitRecord:
        msg = allocate_trace_msg(type, src, dst, status, traced, kFixedRequest, instance, 0);
        if (msg == nullptr) return PXR_BAD;
        data_len = copy_split_record(traced, src, msg->param + kTraceHeader);
        break;
    default:
        if (traced->msg_class != 0) {
            msg = allocate_trace_msg(type, src, dst, status, traced, kFixedRequest, instance, 0);
            if (msg == nullptr) return PXR_FAIL;
            break;
        }
        uint32_t n = traced->len;
        if (n <= kMaxInlineData)
            msg = allocate_trace_msg(type, src, dst, status, traced, n + kTraceHeader, instance, 0);
        if (msg == nullptr) {
            if (n > kFallbackData) n = kFallbackData;
            msg = allocate_trace_msg(type, src, dst, status, traced, n + kTraceHeader, instance, 0);
            if (msg == nullptr) return PXR_BAD;
        }
        local_memcpy(msg->param + kTraceHeader, traced->param, int(n));
        data_len = n;
        break;
    }
    rpackbytes(msg->param, 16, data_len, 2);
    msg->len = uint16_t(data_len + kTraceHeader);
    if (PXR_send(dst, msg) != PXR_OK) relm(msg);
    return PXR_OK;
}

int error_event(uint8_t code, uint16_t id, uint8_t src, uint8_t dst, uint32_t instance) {
    MSG *msg = getm(kErrorEvent, id, 0, 0);
    if (msg == nullptr) return PXR_BAD;
    msg->src = src;
    msg->dst = dst;
    msg->status = code;
    msg->info = PXR_get_time();
    PXR_set_instance(instance, msg);
    if (PXR_send(dst, msg) != PXR_OK) relm(msg);
    return PXR_OK;
}

} // namespace

int MNG_error_event(uint8_t code, uint16_t id, uint8_t src, uint8_t dst) noexcept {
    return error_event(code, id, src, dst, 0);
}

int MNG_error_event_instance(uint8_t code, uint16_t id, uint8_t src, uint8_t dst,
                             uint32_t instance) noexcept {
    return error_event(code, id, src, dst, instance);
}

int MNG_trace_event(const MSG *traced, uint8_t src, uint8_t dst) noexcept {
    return generic_trace(kTraceEvent, 0, traced, src, dst, 0);
}

int MNG_trace_event_instance(const MSG *traced, uint8_t src, uint8_t dst,
                             uint32_t instance) noexcept {
    return generic_trace(kTraceEvent, 0, traced, src, dst, instance);
}

int MNG_seltrace_event(const MSG *traced, uint8_t status, uint8_t src, uint8_t dst) noexcept {
    return generic_trace(kSelTraceEvent, status, traced, src, dst, 0);
}

int MNG_seltrace_event_instance(const MSG *traced, uint8_t status, uint8_t src, uint8_t dst,
                                uint32_t instance) noexcept {
    return generic_trace(kSelTraceEvent, status, traced, src, dst, instance);
}
