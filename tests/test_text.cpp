// Hex characters, hex bytes and number text.
#include "pxrlib.h"

#include <gtest/gtest.h>

TEST(Text, HexCharacters) {
    EXPECT_EQ(hextobin('B'), 11u);
    EXPECT_EQ(hextobin('g'), 0u);
    EXPECT_EQ(hextobin(0x100 + 'F'), 15u); // only the low 8 bits count
    EXPECT_EQ(asctobin("1z"), 0x10);
    EXPECT_EQ(asctobin("4F"), 0x4F);

    char out[4] = {'#', '#', '#', '#'};
    bintoasc(out, 0xA5);
    EXPECT_EQ(std::string(out, 4), "a5##");
    bintohex(out, 16);
    EXPECT_EQ(out[0], 'g');
    for (int v = 0; v < 256; ++v) {
        bintoasc(out, uint8_t(v));
        ASSERT_EQ(asctobin(out), v);
    }
}

TEST(Text, NumbersParse) {
    struct Case {
        const char *text;
        uint32_t value;
    } ok[] = {{"", 0},       {"007", 7},          {"0x", 0},         {"0X1F", 31},
              {"0xfF", 255}, {"4294967295", ~0u}, {"4294967296", 0}, {"0x123456789", 0x23456789}};
    for (const Case &c : ok) {
        uint32_t v = 0xDEAD;
        EXPECT_EQ(strtou32(&v, c.text), 0u) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        v = 0xDEAD;
        EXPECT_EQ(strtonum(&v, c.text), 1u) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    for (const char *bad : {"12a", "-1", "0a", "x1", " 1", "0xg", "1 "}) {
        uint32_t v = 0xDEAD;
        EXPECT_EQ(strtou32(&v, bad), 0xFFFFFFFFu) << bad;
        EXPECT_EQ(strtonum(&v, bad), 0u) << bad;
        EXPECT_EQ(v, 0xDEADu) << bad;
    }
}
