// The everyday helpers that take and give back messages.
#include "pxrlib.h"

MSG *getm(uint16_t type, uint16_t id, uint16_t reply_mask, uint16_t len) noexcept {
    uint32_t size = len;
    MSG *msg = PXR_getmem(0, &size);
    if (msg == nullptr) return nullptr;
    // src, dst, the reserved bytes and the parameters keep what the buffer held.
    msg->type = type;
    msg->id = id;
    msg->reply_mask = reply_mask;
    msg->msg_class = 0;
    msg->status = 0;
    msg->info = 0;
    msg->instance = 0;
    msg->len = len;
    return msg;
}

// Bits 3 to 5 of the class are not part of the pool class; bits 6 and 7 make PXR_relmem refuse.
int relm(MSG *msg) noexcept {
    return int(PXR_relmem(int32_t(msg->msg_class & 0xC7), msg));
}

MSG *gett(void) noexcept {
    return nullptr;
}

MSG *getr(void) noexcept {
    return nullptr;
}
