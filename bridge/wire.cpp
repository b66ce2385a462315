#include "wire.h"

namespace pxrbridge {

namespace {

void put(std::vector<uint8_t> &out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(uint8_t(v >> (8 * i)));
}

uint32_t get(std::span<const uint8_t> f, std::size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | f[at + std::size_t(i)];
    return v;
}

void put_start(std::vector<uint8_t> &out, uint8_t kind, uint32_t origin,
               uint8_t version = kWireVersion) {
    out.push_back('P');
    out.push_back('X');
    out.push_back(version);
    out.push_back(kind);
    put(out, origin, 4);
}

bool known_version(uint8_t v) {
    return v == kWireVersion || v == kMessageVersion;
}

WireError check_start(std::span<const uint8_t> f, uint8_t kind, std::size_t header) {
    if (f.size() < 4) return WireError::too_short;
    if (f[0] != 'P' || f[1] != 'X') return WireError::bad_magic;
    // Only message frames have a second version.
    if (f[2] != kWireVersion && (kind != kKindMessage || f[2] != kMessageVersion))
        return WireError::bad_version;
    if (f[3] != kind) return WireError::bad_kind;
    if (f.size() < header) return WireError::too_short;
    return WireError::none;
}

std::size_t message_bytes(const WireMessage &m) {
    return (m.epoch != 0 ? kMessageHeaderBytes : kMessageHeaderBytesV1) + m.param.size();
}

// Appends a message frame; the caller has checked that the parameters fit a u16 length.
void put_message(std::vector<uint8_t> &out, const WireMessage &m) {
    put_start(out, kKindMessage, m.origin, m.epoch != 0 ? kMessageVersion : kWireVersion);
    put(out, m.type, 2);
    put(out, m.id, 2);
    put(out, m.src, 1);
    put(out, m.dst, 1);
    put(out, m.reply_mask, 2);
    put(out, m.msg_class, 1);
    put(out, m.status, 1);
    put(out, m.epoch != 0 ? m.behind : 0, 2);
    put(out, m.info, 4);
    put(out, m.instance, 4);
    put(out, m.param.size(), 2);
    put(out, m.epoch != 0 ? m.flags : 0, 2);
    if (m.epoch != 0) {
        put(out, m.epoch, 4);
        put(out, m.seq, 4);
    }
    out.insert(out.end(), m.param.begin(), m.param.end());
}

} // namespace

bool encode_message(const WireMessage &m, std::vector<uint8_t> &out) {
    if (m.param.size() > 0xFFFF) return false;
    out.clear();
    out.reserve(message_bytes(m));
    put_message(out, m);
    return true;
}

bool encode_announce(const WireAnnounce &a, std::vector<uint8_t> &out) {
    if (a.name.size() > kMaxNameBytes || a.has(255)) return false;
    for (char c : a.name)
        if (c < 0x21 || c > 0x7E) return false;
    out.clear();
    put_start(out, kKindAnnounce, a.origin);
    put(out, a.generation, 4);
    put(out, a.flags, 1);
    put(out, a.name.size(), 1);
    put(out, 0, 2);
    out.insert(out.end(), a.modules.begin(), a.modules.end());
    out.insert(out.end(), a.name.begin(), a.name.end());
    return true;
}

void encode_ack(const WireAck &a, std::vector<uint8_t> &out) {
    out.clear();
    put_start(out, kKindAck, a.origin);
    put(out, a.epoch, 4);
    put(out, a.seq, 4);
    put(out, a.dst, 1);
    put(out, a.flags, 1);
    put(out, 0, 2);
}

uint8_t frame_kind(std::span<const uint8_t> f) {
    if (f.size() < 4 || f[0] != 'P' || f[1] != 'X' || !known_version(f[2])) return 0;
    return f[3];
}

WireError decode_message(std::span<const uint8_t> f, WireMessage &out) {
    const bool sequenced = f.size() > 2 && f[2] == kMessageVersion;
    const std::size_t header = sequenced ? kMessageHeaderBytes : kMessageHeaderBytesV1;
    if (WireError e = check_start(f, kKindMessage, header); e != WireError::none) return e;
    const uint32_t len = get(f, 28, 2);
    if (f.size() != header + len) return WireError::bad_length;
    WireMessage m;
    m.behind = uint16_t(get(f, 18, 2));
    m.flags = uint16_t(get(f, 30, 2));
    // Flags and behind only in version 2; behind only in an acknowledged frame.
    if ((m.flags & ~kMessageAcked) != 0 || (m.behind != 0 && m.flags == 0) ||
        (!sequenced && m.flags != 0))
        return WireError::bad_reserved;
    if (sequenced) {
        m.epoch = get(f, 32, 4);
        m.seq = get(f, 36, 4);
        if (m.epoch == 0) return WireError::bad_reserved; // epoch 0 travels as version 1
    }
    m.origin = get(f, 4, 4);
    m.type = uint16_t(get(f, 8, 2));
    m.id = uint16_t(get(f, 10, 2));
    m.src = uint8_t(f[12]);
    m.dst = uint8_t(f[13]);
    m.reply_mask = uint16_t(get(f, 14, 2));
    m.msg_class = f[16];
    m.status = f[17];
    m.info = get(f, 20, 4);
    m.instance = get(f, 24, 4);
    m.param = f.subspan(header, len);
    out = m;
    return WireError::none;
}

WireError decode_announce(std::span<const uint8_t> f, WireAnnounce &out) {
    if (WireError e = check_start(f, kKindAnnounce, kAnnounceHeaderBytes); e != WireError::none)
        return e;
    const std::size_t name_len = f[13];
    if (name_len > kMaxNameBytes || f.size() != kAnnounceHeaderBytes + name_len)
        return WireError::bad_length;
    if (get(f, 14, 2) != 0 || (f[12] & ~(kAnnounceAsk | kAnnounceLeave)) != 0)
        return WireError::bad_reserved;
    WireAnnounce a;
    a.origin = get(f, 4, 4);
    a.generation = get(f, 8, 4);
    a.flags = f[12];
    for (std::size_t i = 0; i < 32; ++i) a.modules[i] = f[16 + i];
    if (a.has(255)) return WireError::bad_module;
    for (std::size_t i = 0; i < name_len; ++i) {
        uint8_t c = f[kAnnounceHeaderBytes + i];
        if (c < 0x21 || c > 0x7E) return WireError::bad_name;
        a.name.push_back(char(c));
    }
    out = std::move(a);
    return WireError::none;
}

WireError decode_ack(std::span<const uint8_t> f, WireAck &out) {
    if (WireError e = check_start(f, kKindAck, kAckBytes); e != WireError::none) return e;
    if (f.size() != kAckBytes) return WireError::bad_length;
    if ((f[17] & ~kAckGap) != 0 || get(f, 18, 2) != 0) return WireError::bad_reserved;
    if (f[16] == 255) return WireError::bad_module;
    out = WireAck{get(f, 4, 4), get(f, 8, 4), get(f, 12, 4), f[16], f[17]};
    return WireError::none;
}

void start_batch(std::vector<uint8_t> &out, uint32_t origin) {
    out.clear();
    put_start(out, kKindBatch, origin);
    put(out, 0, 4); // count, written by finish_batch; reserved
}

void append_to_batch(std::vector<uint8_t> &batch, std::span<const uint8_t> frame) {
    put(batch, frame.size(), 4);
    batch.insert(batch.end(), frame.begin(), frame.end());
}

bool append_message_to_batch(std::vector<uint8_t> &batch, const WireMessage &m) {
    if (m.param.size() > 0xFFFF) return false;
    put(batch, message_bytes(m), 4);
    put_message(batch, m);
    return true;
}

void finish_batch(std::vector<uint8_t> &batch, uint16_t count) {
    batch[8] = uint8_t(count >> 8);
    batch[9] = uint8_t(count);
}

WireError split_batch(std::span<const uint8_t> f, std::vector<std::span<const uint8_t>> &parts) {
    parts.clear();
    if (WireError e = check_start(f, kKindBatch, kBatchHeaderBytes); e != WireError::none) return e;
    if (get(f, 10, 2) != 0) return WireError::bad_reserved;
    const uint32_t count = get(f, 8, 2);
    std::size_t at = kBatchHeaderBytes;
    while (at < f.size()) {
        if (f.size() - at < 4) return WireError::bad_length;
        const std::size_t len = get(f, at, 4);
        if (len > f.size() - at - 4) return WireError::bad_length;
        parts.push_back(f.subspan(at + 4, len));
        at += 4 + len;
        if (parts.size() > count) break;
    }
    if (count < 2 || parts.size() != count) {
        parts.clear();
        return WireError::bad_count;
    }
    return WireError::none;
}

const char *wire_error_text(WireError e) {
    switch (e) {
    case WireError::none:
        return "ok";
    case WireError::too_short:
        return "frame too short";
    case WireError::bad_magic:
        return "not a bridge frame";
    case WireError::bad_version:
        return "unknown wire version";
    case WireError::bad_kind:
        return "unexpected frame kind";
    case WireError::bad_length:
        return "length disagrees with the frame size";
    case WireError::bad_reserved:
        return "reserved bits set";
    case WireError::bad_module:
        return "module 255 announced";
    case WireError::bad_name:
        return "bad node name";
    case WireError::bad_count:
        return "batch count disagrees with its parts";
    }
    return "?";
}

} // namespace pxrbridge
