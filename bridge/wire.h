// The bridge's frames on the wire. Every field has a fixed width and is written most
// significant byte first, whatever the host; a frame starts with the magic bytes 'P' 'X',
// a version byte and a kind byte, so a peer of another version is recognised and refused
// rather than misread.
//
// Message frame (kind 1), version 2: 40 bytes + len:
//   0 'P' 'X'   2 version = 2   3 kind = 1   4 u32 origin node
//   8 u16 type  10 u16 id   12 u8 src    13 u8 dst   14 u16 reply_mask
//   16 u8 msg_class  17 u8 status  18 u16 behind  20 u32 info  24 u32 instance
//   28 u16 len  30 u16 flags  32 u32 epoch (not 0)  36 u32 sequence  40 len parameter bytes
// The sequence counts the frames of one route (origin node, destination module) from 1; the
// epoch changes when the sending bridge starts again, and its sequences start again with it.
// Flags bit 0 asks for acknowledgements (the route's epoch then lasts as long as the sending
// environment); behind is then the number of frames before this one that the sender still
// holds unacknowledged, so the oldest frame it may send again is sequence - behind. Without
// bit 0 behind is 0.
// A version-1 message frame is the same without epoch and sequence (32 bytes + len): it is
// still read (and written for a message whose epoch is 0), so bridges are upgraded receivers
// first. Announcements and batches are version 1.
//
// Announcement (kind 2), 48 bytes + name length:
//   0 'P' 'X'   2 version   3 kind = 2   4 u32 origin node   8 u32 generation
//   12 u8 flags (bit 0 asks the others to announce, bit 1 the node leaves)
//   13 u8 name length (at most 63)   14 u16 zero
//   16 32-byte module set (bit m of byte m / 8 is module m; bit 255 must be clear)
//   48 name (printable ASCII)
//
// Batch (kind 3), 12 bytes + parts: messages for one destination published together:
//   0 'P' 'X'   2 version   3 kind = 3   4 u32 origin node   8 u16 count (at least 2)
//   10 u16 zero   12 count times: u32 length, then a message frame of that length
//
// Acknowledgement (kind 4), 20 bytes: every acknowledged frame of a route up to a sequence has
// been given to its module (or counted as undeliverable there):
//   0 'P' 'X'   2 version   3 kind = 4   4 u32 origin node (the acknowledging one)
//   8 u32 epoch of the route   12 u32 sequence   16 u8 destination module   17 u8 flags
//   (bit 0: a gap, a frame came ahead of the one after sequence)   18 u16 zero
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pxrbridge {

inline constexpr uint8_t kWireVersion = 1;    // announcements and batches
inline constexpr uint8_t kMessageVersion = 2; // message frames with epoch and sequence
inline constexpr uint8_t kKindMessage = 1;
inline constexpr uint8_t kKindAnnounce = 2;
inline constexpr uint8_t kKindBatch = 3;
inline constexpr uint8_t kKindAck = 4;
inline constexpr std::size_t kAckBytes = 20;
inline constexpr uint16_t kMessageAcked = 0x1; // message flags: acknowledge this frame
inline constexpr uint8_t kAckGap = 0x1;        // acknowledgement flags: frames are missing
inline constexpr std::size_t kBatchHeaderBytes = 12;
inline constexpr std::size_t kMessageHeaderBytes = 40;
inline constexpr std::size_t kMessageHeaderBytesV1 = 32;
inline constexpr std::size_t kAnnounceHeaderBytes = 48;
inline constexpr std::size_t kMaxNameBytes = 63;
inline constexpr uint8_t kAnnounceAsk = 0x1;
inline constexpr uint8_t kAnnounceLeave = 0x2;

// The MSG header fields that travel, in host order.
struct WireMessage {
    uint32_t origin = 0;
    uint16_t type = 0;
    uint16_t id = 0;
    uint8_t src = 0;
    uint8_t dst = 0;
    uint16_t reply_mask = 0;
    uint8_t msg_class = 0;
    uint8_t status = 0;
    uint32_t info = 0;
    uint32_t instance = 0;
    uint32_t epoch = 0; // 0: an unsequenced (version-1) frame
    uint32_t seq = 0;
    std::span<const uint8_t> param; // len bytes; points into the decoded frame
    uint16_t flags = 0;             // kMessageAcked, in version 2 only
    uint16_t behind = 0;            // with kMessageAcked: frames before this one still held
};

struct WireAck {
    uint32_t origin = 0;
    uint32_t epoch = 0;
    uint32_t seq = 0;
    uint8_t dst = 0;
    uint8_t flags = 0; // kAckGap
};

struct WireAnnounce {
    uint32_t origin = 0;
    uint32_t generation = 0;
    uint8_t flags = 0;
    std::array<uint8_t, 32> modules{};
    std::string name;

    bool has(unsigned module) const { return (modules[module >> 3] >> (module & 7)) & 1; }
    void set(unsigned module) { modules[module >> 3] |= uint8_t(1u << (module & 7)); }
};

enum class WireError {
    none,
    too_short,
    bad_magic,
    bad_version,
    bad_kind,
    bad_length, // the frame's size disagrees with its length fields
    bad_reserved,
    bad_module, // module 255 in an announcement or an acknowledgement
    bad_name,
    bad_count, // a batch whose parts disagree with its count
};

// Appends the encoded frame to out (cleared first). The parameter span must hold at most
// 65535 bytes; false otherwise. A message with epoch 0 is written as a version-1 frame.
bool encode_message(const WireMessage &m, std::vector<uint8_t> &out);
bool encode_announce(const WireAnnounce &a, std::vector<uint8_t> &out);
void encode_ack(const WireAck &a, std::vector<uint8_t> &out);

// The kind byte of a frame whose magic and version (1 or 2) are right; 0 otherwise.
uint8_t frame_kind(std::span<const uint8_t> frame);

// Decoders accept exactly the frames the encoders produce and nothing else.
WireError decode_message(std::span<const uint8_t> frame, WireMessage &out);
WireError decode_announce(std::span<const uint8_t> frame, WireAnnounce &out);
WireError decode_ack(std::span<const uint8_t> frame, WireAck &out);

// A batch is built by start_batch, one append_to_batch (an encoded frame) or
// append_message_to_batch (encoded in place: the parameters are copied once) per message, and
// finish_batch with the number of frames appended (at least 2). The sequences of a batch's
// messages are consecutive: one route, one publish.
void start_batch(std::vector<uint8_t> &out, uint32_t origin);
void append_to_batch(std::vector<uint8_t> &batch, std::span<const uint8_t> frame);
bool append_message_to_batch(std::vector<uint8_t> &batch, const WireMessage &m);
void finish_batch(std::vector<uint8_t> &batch, uint16_t count);
// The frames of a batch, pointing into it; each still needs decode_message.
WireError split_batch(std::span<const uint8_t> frame, std::vector<std::span<const uint8_t>> &parts);

const char *wire_error_text(WireError e);

} // namespace pxrbridge
