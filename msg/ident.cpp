// Identity request: one module asks another who it is; the answer travels back in the same
// message through confirm_msg.
#include "pxrlib.h"

#include <cstdint>

namespace {

constexpr uint16_t kIdentRequest = 0x6111;
constexpr uint16_t kIdentLen = 28;
constexpr int kTextStart = 4;
constexpr int kTextEnd = 27; // always NUL, so the text field stays terminated

} // namespace

int ID_req_ident(uint8_t src, uint8_t dst, uint8_t id) noexcept {
    MSG *msg = getm(kIdentRequest, id, uint16_t(1u << (src & 15)), kIdentLen);
    if (msg == nullptr) return PXR_BAD;
    msg->src = src;
    msg->dst = dst;
    for (uint32_t i = 0; i < msg->len; ++i) msg->param[i] = 0;
    if (PXR_send(dst, msg) == PXR_OK) return PXR_OK;
    relm(msg);
    return PXR_BAD;
}

/// Writes the identity into the first 28 parameter bytes. A null text is taken as empty.
int ID_build_ident(MSG *msg, uint16_t ident_word, uint8_t ident_byte1, uint8_t ident_byte2,
                   const char *text) noexcept {
    if (msg == nullptr || msg->len < kIdentLen) return PXR_FAIL;
    rpackbytes(msg->param, 0, ident_word, 2);
    rpackbytes(msg->param, 2, ident_byte1, 1);
    rpackbytes(msg->param, 3, ident_byte2, 1);
    bool ended = text == nullptr;
    for (int i = kTextStart; i < kTextEnd; ++i) {
        char c = ended ? '\0' : *text++;
        if (c == '\0') ended = true;
        msg->param[i] = uint8_t(c);
    }
    msg->param[kTextEnd] = 0;
    return PXR_OK;
}
