// Unsigned 32-bit numbers from decimal or 0x-prefixed hex text, modulo 2^32.
#include "pxrlib.h"

namespace {

bool parse_hex(const char *text, uint32_t *value) {
    uint32_t v = 0;
    for (; *text != '\0'; ++text) {
        const char c = *text;
        uint32_t digit;
        if (c >= 'a' && c <= 'f')
            digit = uint32_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = uint32_t(c - 'A' + 10);
        else if (c >= '0' && c <= '9')
            digit = uint32_t(c - '0');
        else
            return false;
        v = v * 16 + digit;
    }
    *value = v;
    return true;
}

bool parse_decimal(const char *text, uint32_t *value) {
    uint32_t v = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
        v = v * 10 + uint32_t(*text - '0');
    }
    *value = v;
    return true;
}

} // namespace

/// A null result or text is bad text (0xFFFFFFFF).
uint32_t strtou32(uint32_t *result, const char *text) noexcept {
    if (result == nullptr || text == nullptr) return PXR_BAD_U32;
    uint32_t v = 0;
    const bool ok = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
                        ? parse_hex(text + 2, &v)
                        : parse_decimal(text, &v);
    if (!ok) return PXR_BAD_U32; // *result stays as it was
    *result = v;
    return PXR_OK;
}

uint32_t strtonum(uint32_t *result, const char *text) noexcept {
    return strtou32(result, text) == PXR_OK ? 1 : 0;
}
