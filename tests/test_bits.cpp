// Bit fields in one byte, single bits of a byte array, LSB-first bit streams and
// big-endian byte numbers.
#include "pxrlib.h"

#include <cstring>

#include <gtest/gtest.h>

TEST(Bits, FieldsInOneByteStayInsideTheByte) {
    struct {
        int pos, width, want;
    } reads[] = {{2, 3, 5}, {2, 0, 0},  {0, 8, 0xB4}, {7, 1, 1},
                 {8, 3, 0}, {-1, 3, 0}, {0, 12, 0xB4}};
    for (auto r : reads) EXPECT_EQ(bits_from_byte(0xB4, r.pos, r.width), r.want) << r.pos;
    EXPECT_EQ(bit_from_byte(0xB4, 2), 1u);
    EXPECT_EQ(bit_from_byte(0xB4, 3), 0u);
    EXPECT_EQ(bit_from_byte(0xFF, 9), 0u);

    uint8_t t = 0xFF;
    bits_to_byte(&t, 0, 4, 4);
    EXPECT_EQ(t, 0x0F);
    t = 0x00;
    bits_to_byte(&t, 0xFF, 6, 4); // the field's upper bits fall off the byte
    EXPECT_EQ(t, 0xC0);
    t = 0xFF;
    bit_to_byte(&t, 2, 3);
    EXPECT_EQ(t, 0xF7);

    uint8_t a[3] = {0x11, 0x22, 0x33};
    bits_to_byte(&a[1], 0xFFFF, 9, 8);
    bits_to_byte(&a[1], 0xFFFF, 0, 16);
    bit_to_byte(&a[1], 1, 40);
    EXPECT_EQ(a[0], 0x11);
    EXPECT_EQ(a[1], 0xFF);
    EXPECT_EQ(a[2], 0x33);
}

TEST(Bits, SingleBitsByNumber) {
    uint8_t a[4] = {};
    bit_set(a, 15);
    bit_set(a, 65536 + 2); // the bit number is taken modulo 65536
    EXPECT_EQ(a[0], 0x04);
    EXPECT_EQ(a[1], 0x80);
    bit_clear(a, 15);
    EXPECT_EQ(bit_test(a, 15), 0u);
    EXPECT_EQ(bit_test(a, 2), 1u);
}

TEST(Bits, BitStreams) {
    uint8_t buf[8];
    std::memset(buf, 0, sizeof buf);
    packbits(buf, 8, 0xAABBCCDD, 40); // as 32
    EXPECT_EQ(buf[5], 0);
    packbits(buf, 8, 0, 0);
    packbits(buf, 8, 0, -3);
    EXPECT_EQ(unpackbits(buf, 8, 32), 0xAABBCCDDu);
    EXPECT_EQ(unpackbits(buf, 8, 40), 0xAABBCCDDu);
    EXPECT_EQ(unpackbits(buf, 8, 0), 0u);
    EXPECT_EQ(unpackbits(buf, 8, -1), 0u);

    // Every position and width round-trips and leaves the rest of the buffer alone.
    for (int pos = 0; pos < 16; ++pos)
        for (int w = 1; w <= 32; ++w) {
            std::memset(buf, 0x5A, sizeof buf);
            uint32_t v = 0x9E3779B9u * uint32_t(pos * 33 + w);
            packbits(buf, pos, v, w);
            ASSERT_EQ(unpackbits(buf, pos, w), v & (~0u >> (32 - w))) << pos << "/" << w;
            if (pos > 0) {
                ASSERT_EQ(unpackbits(buf, 0, pos), 0x5A5A5A5Au & (~0u >> (32 - pos)));
            }
            const int end = pos + w, tail = 64 - end < 32 ? 64 - end : 32;
            ASSERT_EQ(unpackbits(buf, end, tail),
                      uint32_t(0x5A5A5A5A5A5A5A5Aull >> end) & (~0u >> (32 - tail)));
        }
}

TEST(Bits, BigEndianBytes) {
    uint8_t buf[8] = {0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE};
    rpackbytes(buf, 0, 0x12345678, 6); // as 4
    rpackbytes(buf, 0, 0xFFFFFFFF, 0);
    rpackbytes(buf, 0, 0xFFFFFFFF, -2);
    const uint8_t expect[8] = {0x12, 0x34, 0x56, 0x78, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(buf, expect, 8), 0);
    EXPECT_EQ(runpackbytes(buf, 0, 6), 0x12345678u);
    EXPECT_EQ(runpackbytes(buf, 1, 3), 0x345678u);
    EXPECT_EQ(runpackbytes(buf, 0, -1), 0u);
    rpackbytes(buf, 2, 0x9999ABCD, 2); // the low bytes of the number
    EXPECT_EQ(runpackbytes(buf, 0, 4), 0x1234ABCDu);
}
