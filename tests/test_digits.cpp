// Packed decimal digits.
#include "pxrlib.h"

#include <vector>

#include <gtest/gtest.h>

namespace {
std::vector<uint8_t> bytes(std::initializer_list<uint8_t> b) {
    return b;
}
} // namespace

TEST(Digits, PackKeepsTheNeighbourInFrontAndClearsTheOneBehind) {
    const uint8_t d123[] = {1, 2, 3};
    auto buf = bytes({0xFF, 0xFF});
    EXPECT_EQ(pack_digits(buf.data(), 0, d123, 3), 0u);
    EXPECT_EQ(buf, bytes({0x21, 0x03}));
    buf = bytes({0xFF, 0xFF});
    pack_digits(buf.data(), 1, d123, 3);
    EXPECT_EQ(buf, bytes({0x1F, 0x32}));

    buf = bytes({0xFF});
    pack_digits(buf.data(), 1, d123, 1);
    EXPECT_EQ(buf, bytes({0x1F}));
    buf = bytes({0xFF});
    pack_digits(buf.data(), 0, d123, 1);
    EXPECT_EQ(buf, bytes({0x01}));

    const uint8_t wide[] = {0x1F, 0x2E};
    buf = bytes({0x00});
    pack_digits(buf.data(), 0, wide, 2);
    EXPECT_EQ(buf, bytes({0xEF}));

    buf = bytes({0xAB});
    EXPECT_EQ(pack_digits(buf.data(), 1, d123, 0), 0u);
    EXPECT_EQ(buf, bytes({0xAB}));
}

TEST(Digits, Unpack) {
    const uint8_t src[] = {0x21, 0x43, 0x65};
    uint8_t out[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(unpack_digits(out, src, 1, 4), 0u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 5), bytes({2, 3, 4, 5, 9}));
    EXPECT_EQ(unpack_digits(out, src, 0, 0), 0u);
    EXPECT_EQ(out[0], 2);
    const uint8_t hi[] = {0xDC};
    unpack_digits(out, hi, 0, 2);
    EXPECT_EQ(out[0], 0x0C);
    EXPECT_EQ(out[1], 0x0D);
}

TEST(Digits, MoveIsLimitedToThirtyAndSafeWhenOverlapping) {
    // Same array, one place up: no smearing of the first digit.
    auto buf = bytes({0x21, 0x43, 0x00});
    EXPECT_EQ(move_digits(buf.data(), 1, buf.data(), 0, 4), 0u);
    uint8_t out[5];
    unpack_digits(out, buf.data(), 1, 4);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), bytes({1, 2, 3, 4}));
    EXPECT_EQ(buf[0] & 0x0F, 0x01); // the digit in front is kept

    std::vector<uint8_t> src(20), dst(20, 0xFF);
    for (int i = 0; i < 20; ++i) src[i] = uint8_t(((i * 2 + 1) % 10) << 4 | ((i * 2) % 10));
    move_digits(dst.data(), 0, src.data(), 0, 31);
    EXPECT_EQ(std::vector<uint8_t>(dst.begin(), dst.begin() + 15),
              std::vector<uint8_t>(src.begin(), src.begin() + 15));
    EXPECT_EQ(dst[15], 0xFF); // digit 30 and beyond not moved

    auto same = dst;
    move_digits(dst.data(), 3, src.data(), 0, 0);
    EXPECT_EQ(dst, same);
}
