// Packed decimal digits.
#include "pxrlib.h"

#include <vector>

#include <gtest/gtest.h>

using Bytes = std::vector<uint8_t>;

TEST(Digits, PackKeepsTheNeighbourInFrontAndClearsTheOneBehind) {
    const uint8_t d123[] = {1, 2, 3}, wide[] = {0x1F, 0x2E};
    struct {
        int pos;
        const uint8_t *digits;
        int n;
        Bytes before, after;
    } cases[] = {{0, d123, 3, {0xFF, 0xFF}, {0x21, 0x03}},
                 {1, d123, 3, {0xFF, 0xFF}, {0x1F, 0x32}},
                 {1, d123, 1, {0xFF}, {0x1F}},
                 {0, d123, 1, {0xFF}, {0x01}},
                 {0, wide, 2, {0x00}, {0xEF}},
                 {1, d123, 0, {0xAB}, {0xAB}}};
    for (auto &c : cases) {
        Bytes buf = c.before;
        EXPECT_EQ(pack_digits(buf.data(), c.pos, c.digits, c.n), 0u);
        EXPECT_EQ(buf, c.after) << c.pos << "/" << c.n;
    }
}

TEST(Digits, Unpack) {
    const uint8_t src[] = {0x21, 0x43, 0x65}, hi[] = {0xDC};
    uint8_t out[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(unpack_digits(out, src, 1, 4), 0u);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{2, 3, 4, 5, 9}));
    unpack_digits(out, hi, 0, 2);
    EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x0C, 0x0D}));
}

TEST(Digits, MoveIsLimitedToThirtyAndSafeWhenOverlapping) {
    // Same array, one place up: no smearing of the first digit.
    Bytes buf{0x21, 0x43, 0x00};
    EXPECT_EQ(move_digits(buf.data(), 1, buf.data(), 0, 4), 0u);
    uint8_t out[4];
    unpack_digits(out, buf.data(), 1, 4);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(buf[0] & 0x0F, 0x01); // the digit in front is kept

    Bytes src(20), dst(20, 0xFF);
    for (int i = 0; i < 20; ++i) src[i] = uint8_t(((i * 2 + 1) % 10) << 4 | ((i * 2) % 10));
    move_digits(dst.data(), 0, src.data(), 0, 31);
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + 15), Bytes(src.begin(), src.begin() + 15));
    EXPECT_EQ(dst[15], 0xFF); // digit 30 and beyond not moved
}
