// OS layer over POSIX calls: the clock, delays, and the per-process file handle table.
#include "pxrlib.h"

#include <sys/select.h>
#include <sys/time.h>

uint32_t PLAT_usec_time(uint32_t *seconds, uint32_t *usec) noexcept {
    timeval tv{};
    if (gettimeofday(&tv, nullptr) != 0) return 1;
    *seconds = uint32_t(tv.tv_sec);
    *usec = uint32_t(tv.tv_usec);
    return 0;
}

uint32_t PLAT_msec_time(uint32_t *seconds, uint32_t *msec) noexcept {
    uint32_t s = 0, us = 0;
    if (PLAT_usec_time(&s, &us) != 0) return 1;
    *seconds = s;
    *msec = us / 1000;
    return 0;
}

/// A signal that interrupts the wait ends the delay early; the rest is not waited.
uint32_t PLAT_delay(uint32_t ms) noexcept {
    timeval timeout{time_t(ms / 1000), suseconds_t((ms % 1000) * 1000)};
    select(1024, nullptr, nullptr, nullptr, &timeout);
    return 0;
}
