// Instance number accessors of the MSG header.
#include "pxrlib.h"

int PXR_set_instance(uint32_t instance, MSG *msg) noexcept {
    msg->instance = instance;
    return 0;
}

uint32_t PXR_get_instance(const MSG *msg) noexcept {
    return msg->instance;
}
