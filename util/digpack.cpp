// Decimal digits packed two to a byte, the first digit of each byte in its low nibble.
#include "pxrlib.h"

uint32_t pack_digits(uint8_t *dst, uint16_t pos, const uint8_t *digits, uint16_t count) noexcept {
    if (count == 0) return 0;
    // An odd start ORs into the high nibble, so it must start out clear.
    dst[pos / 2] &= 0x0F;
    uint32_t p = pos;
    for (uint32_t i = 0; i < count; ++i, ++p) {
        if (p % 2 == 0)
            dst[p / 2] = uint8_t(digits[i] & 0x0F); // also clears the following digit
        else
            dst[p / 2] = uint8_t(dst[p / 2] | (digits[i] << 4));
    }
    return 0;
}

uint32_t unpack_digits(uint8_t *out, const uint8_t *src, uint16_t pos, uint16_t count) noexcept {
    uint32_t p = pos;
    for (uint32_t i = 0; i < count; ++i, ++p)
        out[i] = (p % 2 == 0) ? uint8_t(src[p / 2] & 0x0F) : uint8_t(src[p / 2] >> 4);
    return 0;
}

uint32_t move_digits(uint8_t *dst, uint16_t dst_pos, const uint8_t *src, uint16_t src_pos,
                     uint16_t count) noexcept {
    constexpr uint16_t kMaxDigits = 30;
    const uint16_t n = count <= kMaxDigits ? count : kMaxDigits;
    // Going through a copy makes overlapping source and destination safe.
    uint8_t digits[kMaxDigits];
    unpack_digits(digits, src, src_pos, n);
    pack_digits(dst, dst_pos, digits, n);
    return 0;
}
