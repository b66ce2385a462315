// Answering a request in place: the same buffer goes back to the module that asked.
#include "pxrlib.h"

#include <utility>

int confirm_msg(MSG *msg) noexcept {
    if ((msg->reply_mask & (1u << (msg->src & 15))) == 0) {
        relm(msg);
        return 0;
    }
    msg->type = uint16_t(msg->type & ~PXR_MSG_REQUEST);
    msg->reply_mask = 0;
    std::swap(msg->src, msg->dst);
    if (PXR_send(msg->dst, msg) != 0) relm(msg);
    return 0;
}
