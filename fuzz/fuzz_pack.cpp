// Bit fields, big-endian bytes and packed digits: what is packed unpacks to the same value,
// and nothing outside the field changes.
#include "pxrlib.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct Reader {
    const uint8_t *p;
    size_t n;
    uint32_t take(int bytes) {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            v = v << 8 | (n ? *p : 0);
            if (n) ++p, --n;
        }
        return v;
    }
};

bool bit_of(const uint8_t *a, int b) {
    return (a[b >> 3] >> (b & 7)) & 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader r{data, size};
    uint8_t buf[48], before[48];
    for (uint8_t &b : buf) b = uint8_t(r.take(1));
    std::memcpy(before, buf, sizeof buf);

    // packbits / unpackbits: widths above 32 act as 32.
    const int pos = int(r.take(1) % 120);
    const int width = int(r.take(1) % 40) + 1;
    const uint32_t value = r.take(4);
    const int w = width > 32 ? 32 : width;
    const uint32_t mask = w == 32 ? 0xFFFFFFFFu : ((1u << w) - 1);
    packbits(buf, pos, value, width);
    if (unpackbits(buf, pos, width) != (value & mask)) abort();
    for (int b = 0; b < int(sizeof buf) * 8; ++b)
        if ((b < pos || b >= pos + w) && bit_of(buf, b) != bit_of(before, b)) abort();

    // rpackbytes / runpackbytes: counts above 4 act as 4, 0 writes nothing.
    std::memcpy(before, buf, sizeof buf);
    const int offset = int(r.take(1) % 40);
    const int count = int(r.take(1) % 7);
    const uint32_t v2 = r.take(4);
    rpackbytes(buf, offset, v2, count);
    const int n = count > 4 ? 4 : count;
    const uint32_t m2 = n == 4 ? 0xFFFFFFFFu : ((1u << (8 * n)) - 1);
    if (runpackbytes(buf, offset, count) != (v2 & m2)) abort();
    for (int i = 0; i < int(sizeof buf); ++i)
        if ((i < offset || i >= offset + n) && buf[i] != before[i]) abort();

    // Single bits.
    const int bit = int(r.take(2));
    bit_set(buf, bit % 384);
    if (bit_test(buf, bit % 384) != 1) abort();
    bit_clear(buf, bit % 384);
    if (bit_test(buf, bit % 384) != 0) abort();

    // Packed digits: pack then unpack gives the low nibbles back; move_digits equals an
    // unpack and a pack of at most 30 digits.
    uint8_t digits[64], out[64], packed[40] = {}, moved[40] = {}, expect[40] = {};
    const uint16_t dpos = uint16_t(r.take(1) % 16);
    const uint16_t dcount = uint16_t(r.take(1) % 48);
    for (int i = 0; i < dcount; ++i) digits[i] = uint8_t(r.take(1));
    pack_digits(packed, dpos, digits, dcount);
    unpack_digits(out, packed, dpos, dcount);
    for (int i = 0; i < dcount; ++i)
        if (out[i] != (digits[i] & 0x0F)) abort();
    const uint16_t dst_pos = uint16_t(r.take(1) % 16);
    std::memcpy(moved, packed, sizeof moved);
    std::memcpy(expect, packed, sizeof expect);
    move_digits(moved, dst_pos, packed, dpos, dcount);
    const uint16_t mc = dcount > 30 ? 30 : dcount;
    uint8_t tmp[30];
    unpack_digits(tmp, packed, dpos, mc);
    pack_digits(expect, dst_pos, tmp, mc);
    if (std::memcmp(moved, expect, sizeof moved) != 0) abort();
    return 0;
}
