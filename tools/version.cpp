// pxr --version: the four versions a user meets, side by side.
#include "tool.h"

#include <cstdio>

namespace pxrtool {

namespace {
// The figures the status report prints on its "PXRLIB version" line; they name the
// report's format and change with nothing else.
constexpr const char *kStatusReportVersion = "6.8.18 (Build 1312)";
} // namespace

int cmd_version(int, char **) {
    uint32_t major = 0, minor = 0;
    PXR_get_version(&major, &minor);
    std::printf("pxr %s\n", PXR_PACKAGE_VERSION);
    std::printf("  package:        %s (pkg-config, find_package)\n", PXR_PACKAGE_VERSION);
    std::printf("  library:        libpxrlib.so.%s (soname)\n", PXR_SOVERSION);
    std::printf("  interface:      %u.%u (PXR_get_version)\n", major, minor);
    std::printf("  status report:  %s\n", kStatusReportVersion);
    return kExitOk;
}

} // namespace pxrtool
