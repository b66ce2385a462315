// Bit fields inside one byte, and single bits addressed by number in a byte array.
#include "pxrlib.h"

namespace {

// w ones; widths above 8 act as 8.
unsigned field_mask(unsigned w) {
    return w >= 8 ? 0xFFu : 0xFFu >> (8 - w);
}

// Positions outside 0..7 (negative ones included) lie wholly beyond the byte.
bool in_byte(int s) {
    return unsigned(s) <= 7;
}

} // namespace

/// Widths above 8 act as 8; a start outside 0..7 yields 0.
uint8_t bits_from_byte(uint8_t byte, int s, uint8_t w) noexcept {
    if (!in_byte(s)) return 0;
    return uint8_t((unsigned(byte) >> s) & field_mask(w));
}

/// A position outside 0..7 yields 0.
uint32_t bit_from_byte(uint8_t byte, int s) noexcept {
    if (!in_byte(s)) return 0;
    return (unsigned(byte) >> s) & 1u;
}

/// Widths above 8 act as 8; a start above 7 leaves the target unchanged.
void bits_to_byte(uint8_t *target, uint32_t value, uint8_t s, uint8_t w) noexcept {
    if (!in_byte(s)) return;
    const uint32_t mask = field_mask(w);
    // Bits shifted beyond position 7 fall off when the byte is stored.
    *target = uint8_t((*target & ~(mask << s)) | ((value & mask) << s));
}

/// A position outside 0..7 leaves the target unchanged.
void bit_to_byte(uint8_t *target, int value, int s) noexcept {
    if (!in_byte(s)) return;
    const unsigned bit = 1u << s;
    *target = uint8_t((value & 1) ? (*target | bit) : (*target & ~bit));
}

void bit_set(uint8_t *array, int b) noexcept {
    const uint16_t n = uint16_t(b);
    array[n >> 3] = uint8_t(array[n >> 3] | (1u << (n & 7)));
}

void bit_clear(uint8_t *array, int b) noexcept {
    const uint16_t n = uint16_t(b);
    array[n >> 3] = uint8_t(array[n >> 3] & ~(1u << (n & 7)));
}

uint32_t bit_test(const uint8_t *array, int b) noexcept {
    const uint16_t n = uint16_t(b);
    return (array[n >> 3] >> (n & 7)) & 1u;
}
