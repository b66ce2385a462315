// Bit fields, big-endian bytes, packed digits, hex and number text: one row per behaviour at
// an edge (the fuzz targets hold the round-trip properties over all inputs).
#include "pxrlib.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

// Runs f on a copy of before and returns the bytes afterwards.
Bytes after(Bytes before, const std::function<void(uint8_t *)> &f) {
    f(before.data());
    return before;
}

uint32_t parsed(const char *text, uint32_t (*fn)(uint32_t *, const char *), uint32_t *v) {
    *v = 0xDEAD;
    return fn(v, text);
}

TEST(Codec, ValuesRead) {
    const uint8_t be[] = {0x12, 0x34, 0x56, 0x78, 0xEE}, bits[] = {0x04, 0x80};
    const uint8_t stream[] = {0, 0xDD, 0xCC, 0xBB, 0xAA, 0};
    struct {
        uint32_t got, want;
    } rows[] = {
        {bits_from_byte(0xB4, 2, 3), 5},
        {bits_from_byte(0xB4, 2, 0), 0},
        {bits_from_byte(0xB4, 0, 12), 0xB4},
        {bits_from_byte(0xB4, 7, 1), 1},
        {bits_from_byte(0xB4, 8, 3), 0},
        {bits_from_byte(0xB4, -1, 3), 0},
        {bit_from_byte(0xB4, 2), 1},
        {bit_from_byte(0xB4, 3), 0},
        {bit_from_byte(0xFF, 9), 0},
        {bit_test(bits, 15), 1},
        {bit_test(bits, 65536 + 2), 1},
        {bit_test(bits, 3), 0},
        {unpackbits(stream, 8, 32), 0xAABBCCDD},
        {unpackbits(stream, 8, 40), 0xAABBCCDD},
        {unpackbits(stream, 12, 8), 0xCD},
        {unpackbits(stream, 8, 0), 0},
        {unpackbits(stream, 8, -1), 0},
        {runpackbytes(be, 0, 6), 0x12345678},
        {runpackbytes(be, 1, 3), 0x345678},
        {runpackbytes(be, 0, -1), 0},
        {hextobin('B'), 11},
        {hextobin('f'), 15},
        {hextobin('g'), 0},
        {hextobin(0x100 + 'F'), 15},
        {asctobin("1z"), 0x10},
        {asctobin("4F"), 0x4F},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(rows[i].got, rows[i].want) << "row " << i;
}

TEST(Codec, BytesWritten) {
    const uint8_t d123[] = {1, 2, 3}, wide[] = {0x1F, 0x2E}, src[] = {0x21, 0x43, 0x65};
    struct {
        Bytes before;
        std::function<void(uint8_t *)> write;
        Bytes want;
    } rows[] = {
        {{0xFF}, [](uint8_t *b) { bits_to_byte(b, 0, 4, 4); }, {0x0F}},
        {{0x00}, [](uint8_t *b) { bits_to_byte(b, 0xFF, 6, 4); }, {0xC0}}, // falls off the byte
        {{0x33}, [](uint8_t *b) { bits_to_byte(b, 0xFF, 9, 8); }, {0x33}},
        {{0x33}, [](uint8_t *b) { bits_to_byte(b, 0xFFFF, 0, 16); }, {0xFF}},
        {{0xFF}, [](uint8_t *b) { bit_to_byte(b, 2, 3); }, {0xF7}},
        {{0x00}, [](uint8_t *b) { bit_to_byte(b, 3, 3); }, {0x08}},
        {{0x33}, [](uint8_t *b) { bit_to_byte(b, 1, 40); }, {0x33}},
        {{0, 0}, [](uint8_t *b) { bit_set(b, 15), bit_set(b, 65536 + 2); }, {0x04, 0x80}},
        {{0xFF, 0xFF}, [](uint8_t *b) { bit_clear(b, 15); }, {0xFF, 0x7F}},
        {Bytes(6, 0x5A),
         [](uint8_t *b) { packbits(b, 4, 0xABC, 8); },
         {0xCA, 0x5B, 0x5A, 0x5A, 0x5A, 0x5A}},
        {Bytes(6, 0),
         [](uint8_t *b) { packbits(b, 8, 0xAABBCCDD, 40); },
         {0, 0xDD, 0xCC, 0xBB, 0xAA, 0}},
        {Bytes(2, 7), [](uint8_t *b) { packbits(b, 0, 0, 0), packbits(b, 0, 0, -3); }, Bytes(2, 7)},
        {Bytes(6, 0xEE),
         [](uint8_t *b) { rpackbytes(b, 1, 0x12345678, 6); },
         {0xEE, 0x12, 0x34, 0x56, 0x78, 0xEE}},
        {Bytes(3, 0xEE), [](uint8_t *b) { rpackbytes(b, 0, 0x9999ABCD, 2); }, {0xAB, 0xCD, 0xEE}},
        {Bytes(2, 0xEE), [](uint8_t *b) { rpackbytes(b, 0, ~0u, 0), rpackbytes(b, 0, ~0u, -2); },
         Bytes(2, 0xEE)},
        {{0xFF, 0xFF}, [&](uint8_t *b) { pack_digits(b, 0, d123, 3); }, {0x21, 0x03}},
        {{0xFF, 0xFF}, [&](uint8_t *b) { pack_digits(b, 1, d123, 3); }, {0x1F, 0x32}},
        {{0xFF}, [&](uint8_t *b) { pack_digits(b, 1, d123, 1); }, {0x1F}},
        {{0xFF}, [&](uint8_t *b) { pack_digits(b, 0, d123, 1); }, {0x01}},
        {{0x00}, [&](uint8_t *b) { pack_digits(b, 0, wide, 2); }, {0xEF}},
        {{0xAB}, [&](uint8_t *b) { pack_digits(b, 1, d123, 0); }, {0xAB}},
        {Bytes(5, 9), [&](uint8_t *b) { unpack_digits(b, src, 1, 4); }, {2, 3, 4, 5, 9}},
        {Bytes(2, 9),
         [](uint8_t *b) {
             const uint8_t hi = 0xDC;
             unpack_digits(b, &hi, 0, 2);
         },
         {0xC, 0xD}},
        // The same array one digit up: the digit in front stays, nothing smears.
        {{0x21, 0x43, 0x00}, [](uint8_t *b) { move_digits(b, 1, b, 0, 4); }, {0x11, 0x32, 0x04}},
        {Bytes(4, 0xEE),
         [](uint8_t *b) { bintoasc(reinterpret_cast<char *>(b), 0xA5); },
         {'a', '5', 0xEE, 0xEE}},
        {{0}, [](uint8_t *b) { bintohex(reinterpret_cast<char *>(b), 16); }, {'g'}},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(after(rows[i].before, rows[i].write), rows[i].want) << "row " << i;

    // At most 30 digits move.
    Bytes from(20), to(20, 0xFF);
    for (int i = 0; i < 20; ++i) from[i] = uint8_t(((i * 2 + 1) % 10) << 4 | ((i * 2) % 10));
    move_digits(to.data(), 0, from.data(), 0, 31);
    EXPECT_EQ(Bytes(to.begin(), to.begin() + 15), Bytes(from.begin(), from.begin() + 15));
    EXPECT_EQ(to[15], 0xFF);
}

TEST(Codec, NumberText) {
    struct {
        const char *text;
        uint32_t value;
    } ok[] = {{"", 0},       {"007", 7},          {"0x", 0},         {"0X1F", 31},
              {"0xfF", 255}, {"4294967295", ~0u}, {"4294967296", 0}, {"0x123456789", 0x23456789}};
    uint32_t v;
    for (auto &c : ok) {
        EXPECT_EQ(parsed(c.text, strtou32, &v), PXR_OK) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(parsed(c.text, strtonum, &v), 1u) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    for (const char *bad : {"12a", "-1", "0a", "x1", " 1", "0xg", "1 ", "9/", "0x1:", "0x@", "+1",
                            "1e3", "0x0x1", "0x-1", "\xff"}) {
        EXPECT_EQ(parsed(bad, strtou32, &v), PXR_BAD_U32) << bad;
        EXPECT_EQ(parsed(bad, strtonum, &v), 0u) << bad;
        EXPECT_EQ(v, 0xDEADu) << bad;
    }
}

} // namespace
