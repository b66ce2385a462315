// Bit fields, big-endian bytes, packed digits, hex and number text: one row per behaviour at
// an edge (the fuzz targets hold the round-trip properties over all inputs).
#include "pxrlib.h"

#include <functional>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Codec, ValuesRead) {
    const uint8_t be[] = {0x12, 0x34, 0x56, 0x78, 0xEE}, bits[] = {0x04, 0x80};
    const uint8_t stream[] = {0, 0xDD, 0xCC, 0xBB, 0xAA, 0};
    struct {
        uint32_t got, want;
    } rows[] = {
        {bits_from_byte(0xB4, 2, 3), 5},
        {bits_from_byte(0xB4, 2, 0), 0},
        {bits_from_byte(0xB4, 0, 12), 0xB4},
        {bits_from_byte(0xB4, 8, 3), 0},
        {bits_from_byte(0xB4, -1, 3), 0},
        {bit_from_byte(0xB4, 2), 1},
        {bit_from_byte(0xFF, 9), 0},
        {bit_test(bits, 65536 + 2), 1},
        {unpackbits(stream, 8, 40), 0xAABBCCDD},
        {unpackbits(stream, 12, 8), 0xCD},
        {unpackbits(stream, 8, -1), 0},
        {runpackbytes(be, 0, 6), 0x12345678},
        {runpackbytes(be, 1, 3), 0x345678},
        {runpackbytes(be, 0, -1), 0},
        {hextobin('g'), 0},
        {hextobin(0x100 + 'F'), 15},
        {asctobin("1z"), 0x10},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(rows[i].got, rows[i].want) << "row " << i;
}

TEST(Codec, BytesWritten) {
    const uint8_t d123[] = {1, 2, 3}, wide[] = {0x1F, 0x2E}, src[] = {0x21, 0x43, 0x65};
    const Bytes ones(16, 0x11);
    Bytes thirty_ones(15, 0x11);
    thirty_ones.push_back(0);
    using Write = std::function<void(uint8_t *)>;
    struct {
        Bytes before;
        Write write;
        Bytes want;
    } rows[] = {
        {{0xFF}, [](uint8_t *b) { bits_to_byte(b, 0, 4, 4); }, {0x0F}},
        {{0x00}, [](uint8_t *b) { bits_to_byte(b, 0xFF, 6, 4); }, {0xC0}}, // falls off the byte
        {{0x33}, [](uint8_t *b) { bits_to_byte(b, 0xFF, 9, 8); }, {0x33}},
        {{0xFF}, [](uint8_t *b) { bit_to_byte(b, 2, 3); }, {0xF7}},
        {{0x33}, [](uint8_t *b) { bit_to_byte(b, 1, 40); }, {0x33}},
        {{0, 0}, [](uint8_t *b) { bit_set(b, 65536 + 2); }, {0x04, 0}},
        {Bytes(6, 0x5A),
         [](uint8_t *b) { packbits(b, 4, 0xABC, 8); },
         {0xCA, 0x5B, 0x5A, 0x5A, 0x5A, 0x5A}},
        {Bytes(2, 7), [](uint8_t *b) { packbits(b, 0, 0, 0), packbits(b, 0, 0, -3); }, Bytes(2, 7)},
        {Bytes(3, 0xEE), [](uint8_t *b) { rpackbytes(b, 0, 0x9999ABCD, 2); }, {0xAB, 0xCD, 0xEE}},
        {Bytes(2, 0xEE), [](uint8_t *b) { rpackbytes(b, 0, ~0u, -2); }, Bytes(2, 0xEE)},
        {{0xFF, 0xFF}, [&](uint8_t *b) { pack_digits(b, 0, d123, 3); }, {0x21, 0x03}},
        {{0xFF, 0xFF}, [&](uint8_t *b) { pack_digits(b, 1, d123, 3); }, {0x1F, 0x32}},
        {{0x00}, [&](uint8_t *b) { pack_digits(b, 0, wide, 2); }, {0xEF}},
        {{0xAB}, [&](uint8_t *b) { pack_digits(b, 1, d123, 0); }, {0xAB}},
        {Bytes(5, 9), [&](uint8_t *b) { unpack_digits(b, src, 1, 4); }, {2, 3, 4, 5, 9}},
        // The same array one digit up: the digit in front stays, nothing smears.
        {{0x21, 0x43, 0x00}, [](uint8_t *b) { move_digits(b, 1, b, 0, 4); }, {0x11, 0x32, 0x04}},
        // At most 30 digits move.
        {Bytes(16, 0), [&](uint8_t *b) { move_digits(b, 0, ones.data(), 0, 31); }, thirty_ones},
        {Bytes(3, 0xEE),
         [](uint8_t *b) { bintoasc(reinterpret_cast<char *>(b), 0x9A); },
         {'9', 'a', 0xEE}},
        {{0}, [](uint8_t *b) { bintohex(reinterpret_cast<char *>(b), 16); }, {'g'}},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        Bytes b = rows[i].before;
        rows[i].write(b.data());
        EXPECT_EQ(b, rows[i].want) << "row " << i;
    }
}

// Values of good texts are checked against a reference parser by the fuzz target; here a
// refused text leaves the value alone.
TEST(Codec, NumberTextRefusedLeavesTheValue) {
    for (const char *bad : {"12a", "-1", " 1", "1 ", "0x1:", "+1", "0x0x1", "\xff"}) {
        uint32_t v = 0xDEAD, w = 0xDEAD;
        EXPECT_EQ(strtou32(&v, bad), PXR_BAD_U32) << bad;
        EXPECT_EQ(strtonum(&w, bad), 0u) << bad;
        EXPECT_EQ(v + w, 2 * 0xDEADu) << bad;
    }
    uint32_t v = 0;
    EXPECT_EQ(strtou32(&v, "4294967296"), PXR_OK); // wraps modulo 2^32
    EXPECT_EQ(v, 0u);
}

} // namespace
