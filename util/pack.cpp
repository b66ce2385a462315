// Bit fields laid LSB first across a byte array, and big-endian byte numbers.
#include "pxrlib.h"

void packbits(uint8_t *buffer, int bitpos, uint32_t value, int width) noexcept {
    if (width > 32) width = 32;
    if (width <= 0) return;
    uint8_t *p = buffer + (bitpos >> 3);
    int s = bitpos & 7;
    int remaining = width;
    uint32_t v = value;
    for (;;) {
        uint32_t m = 0xFF, bits = v;
        if (remaining < 8) {
            m = 0xFFu >> (8 - remaining);
            bits = v & m;
        }
        *p = uint8_t((*p & ~(m << s)) | (bits << s));
        const int taken = 8 - s;
        remaining += s - 8;
        if (remaining <= 0) return;
        v >>= taken;
        ++p;
        s = 0;
    }
}

/// A negative width yields 0.
uint32_t unpackbits(const uint8_t *buffer, int bitpos, int width) noexcept {
    if (width > 32) width = 32;
    if (width <= 0) return 0;
    const uint8_t *p = buffer + (bitpos >> 3);
    const int s = bitpos & 7;
    uint32_t result = 0;
    int shift = 0, left = width;
    if (s != 0) {
        result = uint32_t(*p++) >> s;
        shift = 8 - s;
        left = s + width - 8;
    }
    // Only the bytes that hold part of the field are read.
    for (; left > 0; left -= 8, shift += 8) result |= uint32_t(*p++) << shift;
    return result & (0xFFFFFFFFu >> (32 - width));
}

/// A negative count acts as 0.
void rpackbytes(uint8_t *buffer, int offset, uint32_t value, int count) noexcept {
    const int n = count < 4 ? count : 4;
    for (int i = 1; i <= n; ++i) buffer[offset + n - i] = uint8_t(value >> (8 * (i - 1)));
}

/// A negative count acts as 0.
uint32_t runpackbytes(const uint8_t *buffer, int offset, int count) noexcept {
    const int n = count < 4 ? count : 4;
    uint32_t result = 0;
    for (int i = 0; i < n; ++i) result = (result << 8) | buffer[offset + i];
    return result;
}
