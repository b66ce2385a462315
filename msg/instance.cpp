// Instance number accessors of the MSG header. They serve any MSG record, also one outside the
// partitions; only a null pointer is refused.
#include "pxrlib.h"

/// Returns -1 for a null msg.
int PXR_set_instance(uint32_t instance, MSG *msg) noexcept {
    if (msg == nullptr) return -1;
    msg->instance = instance;
    return 0;
}

/// Returns 0 for a null msg.
uint32_t PXR_get_instance(const MSG *msg) noexcept {
    return msg == nullptr ? 0 : msg->instance;
}
