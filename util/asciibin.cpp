// Single hex characters and two-character hex bytes.
#include "pxrlib.h"

uint32_t hextobin(int c) noexcept {
    const unsigned ch = unsigned(c) & 0xFF;
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return 0;
}

uint8_t asctobin(const char *text) noexcept {
    return uint8_t(hextobin(text[0]) * 16 + hextobin(text[1]));
}

/// Values above 15 give v + 87, which is no hex character (16 gives 'g').
void bintohex(char *out, uint8_t v) noexcept {
    out[0] = char(v <= 9 ? '0' + v : 'a' + (v - 10));
}

void bintoasc(char *out, uint8_t v) noexcept {
    bintohex(out, uint8_t(v >> 4));
    bintohex(out + 1, uint8_t(v & 0x0F));
}
