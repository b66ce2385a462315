// OS layer written against the standard library alone: local time, random numbers,
// and the path operations of the file layer.
#include "pxrlib.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

// Stores the broken-down local time of t; false when it cannot be converted. localtime_r:
// the allocation path stamps times, and a shared static result would race with any thread
// of the calling application that uses localtime itself.
bool fill_local(std::time_t t, uint32_t usec, Timestamp *ts) {
    std::tm tm{};
    if (ts == nullptr || localtime_r(&t, &tm) == nullptr) return false;
    *ts = Timestamp{uint32_t(tm.tm_year + 1900),
                    uint32_t(tm.tm_mon + 1),
                    uint32_t(tm.tm_mday),
                    uint32_t(tm.tm_hour),
                    uint32_t(tm.tm_min),
                    uint32_t(tm.tm_sec),
                    usec};
    return true;
}

} // namespace

/// A null record is refused with 1.
uint32_t PLAT_timestamp(Timestamp *ts) noexcept {
    uint32_t seconds = 0, usec = 0;
    if (PLAT_usec_time(&seconds, &usec) != PXR_OK) return PXR_FAIL;
    // Zero-extended, so clock values past 2038 still convert.
    return fill_local(std::time_t(uint64_t(seconds)), usec, ts) ? PXR_OK : PXR_FAIL;
}

/// A null record is refused with 1.
uint32_t PLAT_localtime(int64_t t, Timestamp *ts) noexcept {
    return fill_local(std::time_t(t), 0, ts) ? PXR_OK : PXR_FAIL;
}

uint32_t PLAT_rand(uint32_t lo, uint32_t hi) noexcept {
    // One over RAND_MAX (2147483647), so the largest draw yields exactly 1.0 and hi + 1.
    constexpr double k = 1.0 / 2147483647.0;
    // The generator is rand itself, so that PLAT_srand and a caller's srand share one sequence.
    double r = double(std::rand()) * k; // NOLINT(concurrency-mt-unsafe)
    uint32_t n = hi - lo + 1;           // wraps for the full range
    double x = double(lo) + double(n) * r;
    return uint32_t(int64_t(x));
}

/// A seed of 0 takes the clock's milliseconds; when the clock cannot be read the seed is 1,
/// the standard library's default sequence.
uint32_t PLAT_srand(uint32_t seed) noexcept {
    if (seed == 0) {
        uint32_t seconds = 0, msec = 0;
        seed = PLAT_msec_time(&seconds, &msec) == PXR_OK ? msec : 1;
    }
    std::srand(seed);
    return PXR_OK;
}

int32_t PLAT_remove(const char *path) noexcept {
    return std::remove(path);
}

int32_t PLAT_rename(const char *old_path, const char *new_path) noexcept {
    return std::rename(old_path, new_path);
}
