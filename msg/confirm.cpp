// Answering a request in place: the same buffer goes back to the module that asked.
#include "pxrlib.h"

#include "env/groups.h"
#include "env/pools.h"

#include <utility>

/// Returns -1, touching nothing, when msg is not the MSG of a buffer of a partition attached
/// here (a process that is not attached holds none) or its buffer is not allocated.
int confirm_msg(MSG *msg) noexcept {
    const pxr_impl::MsgSlot m = pxr_impl::find_msg(msg);
    if (!pxr_impl::allocated(m)) return -1;
    // A buffer other members still read is not written: the caller's share is given back.
    if ((msg->reply_mask & (1u << (msg->src & 15))) == 0 || !pxr_impl::take_whole(m)) {
        relm(msg);
        return 0;
    }
    msg->type = uint16_t(msg->type & ~PXR_MSG_REQUEST);
    msg->reply_mask = 0;
    std::swap(msg->src, msg->dst);
    if (PXR_send(msg->dst, msg) != 0) relm(msg);
    return 0;
}
