// Memory image and text report files named after the current local time.
#include "pxrlib.h"

#include <cstdio>

FILE *mdump_handle = nullptr;
FILE *tdump_handle = nullptr;

int PXR_dump_create(void) noexcept {
    Timestamp ts{};
    if (PLAT_timestamp(&ts) != PXR_OK) return PXR_FAIL;
    char mem_name[64];
    char text_name[64];
    std::snprintf(mem_name, sizeof mem_name, "pxrmem_%02d%02d%04d_%02d%02d.bin", int(ts.day),
                  int(ts.month), int(ts.year), int(ts.hour), int(ts.minute));
    std::snprintf(text_name, sizeof text_name, "pxrdump_%02d%02d%04d_%02d%02d.txt", int(ts.day),
                  int(ts.month), int(ts.year), int(ts.hour), int(ts.minute));
    mdump_handle = std::fopen(mem_name, "wb");
    if (mdump_handle == nullptr) return PXR_FAIL;
    tdump_handle = std::fopen(text_name, "w");
    return tdump_handle == nullptr ? PXR_FAIL : PXR_OK;
}

int PXR_dump_open(const char *path) noexcept {
    mdump_handle = std::fopen(path, "rb");
    if (mdump_handle == nullptr) {
        std::perror("fopen");
        return PXR_FAIL;
    }
    return PXR_OK;
}

/// With no memory dump open, returns 1 and touches nothing.
int PXR_dump_write_memory(const void *buf, uint32_t size) noexcept {
    if (mdump_handle == nullptr) return PXR_FAIL;
    return std::fwrite(buf, size, 1, mdump_handle) == 1 ? PXR_OK : PXR_FAIL;
}

/// With no memory dump open, returns 1 and touches nothing.
int PXR_dump_read_memory(void *buf, uint32_t size) noexcept {
    if (mdump_handle == nullptr) return PXR_FAIL;
    if (std::fread(buf, size, 1, mdump_handle) == 1) return PXR_OK;
    std::perror("fread");
    return PXR_FAIL;
}

/// Clears both handles, so no stream is ever closed twice.
int PXR_dump_close(void) noexcept {
    if (mdump_handle != nullptr) std::fclose(mdump_handle);
    mdump_handle = nullptr;
    if (tdump_handle != nullptr) std::fclose(tdump_handle);
    tdump_handle = nullptr;
    return PXR_OK;
}
