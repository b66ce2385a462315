// Number and hex text: strtou32 and strtonum against a plain reference parser, and the hex
// helpers round-trip every byte.
#include "pxrlib.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Decimal, or 0x/0X followed by hex digits; modulo 2^32; the empty text and a bare prefix
// are 0.
bool reference(const std::string &t, uint32_t &out) {
    uint32_t v = 0;
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        static const std::string digits = "0123456789abcdef";
        for (size_t i = 2; i < t.size(); ++i) {
            const size_t d = digits.find(char(std::tolower(static_cast<unsigned char>(t[i]))));
            if (d == std::string::npos) return false;
            v = v * 16 + uint32_t(d);
        }
    } else {
        for (char c : t) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + uint32_t(c - '0');
        }
    }
    out = v;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0')); // a terminated string
    uint32_t expect = 0;
    const bool ok = reference(text, expect);
    uint32_t a = 0xA5A5A5A5u, b = 0x5A5A5A5Au;
    const uint32_t ra = strtou32(&a, text.c_str());
    const uint32_t rb = strtonum(&b, text.c_str());
    if (ok != (ra == 0) || ok != (rb == 1)) abort();
    if (ok && (a != expect || b != expect)) abort();
    if (!ok && (a != 0xA5A5A5A5u || b != 0x5A5A5A5Au)) abort();

    for (size_t i = 0; i < size; ++i) {
        char two[2];
        bintoasc(two, data[i]);
        if (asctobin(two) != data[i]) abort();
        if (hextobin(data[i]) > 15) abort();
    }
    if (size >= 2 && asctobin(reinterpret_cast<const char *>(data)) !=
                         uint8_t(hextobin(data[0]) * 16 + hextobin(data[1])))
        abort();
    return 0;
}
