// Bridge frames from an untrusted network: the decoders never read outside the frame, and a
// frame they accept encodes back to exactly the same bytes.
#include "wire.h"

#include <cstdlib>
#include <cstring>

using namespace pxrbridge;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::span<const uint8_t> frame(data, size);
    std::vector<uint8_t> again;
    WireMessage m;
    if (decode_message(frame, m) == WireError::none) {
        if (!encode_message(m, again) || again.size() != size ||
            std::memcmp(again.data(), data, size) != 0)
            std::abort();
    }
    WireAnnounce a;
    if (decode_announce(frame, a) == WireError::none) {
        if (!encode_announce(a, again) || again.size() != size ||
            std::memcmp(again.data(), data, size) != 0)
            std::abort();
    }
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
    if (frame_kind(frame) == 0 && (decode_message(frame, m) == WireError::none ||
                                   decode_announce(frame, a) == WireError::none ||
                                   split_batch(frame, parts) == WireError::none))
        std::abort();
    return 0;
}
