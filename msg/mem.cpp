// The everyday helpers that take and give back messages.
#include "pxrlib.h"

#include "env/pools.h"

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

/// Returns 1, touching nothing, when msg is not the MSG of a buffer of a partition attached here.
/// Bits 3 to 5 of the class are not part of the pool class; bits 6 and 7 make the release refuse.
int relm(MSG *msg) noexcept {
    if (!pxr_impl::lazy_attach(2)) return 1;
    // The class is read only once the pointer is known to be a MSG.
    const pxr_impl::MsgSlot m = pxr_impl::find_msg(msg);
    if (m.partition < 0) return 1;
    return int(pxr_impl::release_checked(int32_t(msg->msg_class & 0xC7), m));
}

MSG *gett(void) noexcept {
    return nullptr;
}

MSG *getr(void) noexcept {
    return nullptr;
}
