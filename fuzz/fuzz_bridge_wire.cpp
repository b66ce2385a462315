// Bridge frames from an untrusted network: the decoders never read outside the frame, and a
// frame they accept encodes back to exactly the same bytes.
#include "wire.h"

#include <cstdlib>
#include <cstring>

using namespace pxrbridge;

namespace {

// A frame that decode accepts must come back byte for byte from encode.
template <typename Frame, typename Encode>
void round_trip(std::span<const uint8_t> frame,
                WireError (*decode)(std::span<const uint8_t>, Frame &), Encode encode) {
    Frame f;
    std::vector<uint8_t> again;
    if (decode(frame, f) != WireError::none) return;
    if (!encode(f, again) || again.size() != frame.size() ||
        std::memcmp(again.data(), frame.data(), frame.size()) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::span<const uint8_t> frame(data, size);
    std::vector<uint8_t> again;
    WireMessage m;
    WireAnnounce a;
    WireAck k;
    round_trip(frame, decode_message, encode_message);
    round_trip(frame, decode_announce, encode_announce);
    round_trip(frame, decode_ack, [](const WireAck &f, std::vector<uint8_t> &out) {
        encode_ack(f, out);
        return true;
    });
    std::vector<std::span<const uint8_t>> parts;
    if (split_batch(frame, parts) == WireError::none) {
        start_batch(again, uint32_t(data[4]) << 24 | data[5] << 16 | data[6] << 8 | data[7]);
        for (auto part : parts) {
            WireMessage pm;
            if (decode_message(part, pm) == WireError::none)
                append_message_to_batch(again, pm); // encoded in place, as the bridge sends
            else
                append_to_batch(again, part);
        }
        finish_batch(again, uint16_t(parts.size()));
        if (again.size() != size || std::memcmp(again.data(), data, size) != 0) std::abort();
    }
    if (frame_kind(frame) == 0 &&
        (decode_message(frame, m) == WireError::none ||
         decode_announce(frame, a) == WireError::none || decode_ack(frame, k) == WireError::none ||
         split_batch(frame, parts) == WireError::none))
        std::abort();
    return 0;
}
