// OS layer over POSIX calls: the clock, delays, and the per-process file handle table.
#include "pxrlib.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

/// A null output is refused with 1, as an unreadable clock.
uint32_t PLAT_usec_time(uint32_t *seconds, uint32_t *usec) noexcept {
    timeval tv{};
    if (seconds == nullptr || usec == nullptr || gettimeofday(&tv, nullptr) != 0) return 1;
    *seconds = uint32_t(tv.tv_sec);
    *usec = uint32_t(tv.tv_usec);
    return 0;
}

/// A null output is refused with 1, as an unreadable clock.
uint32_t PLAT_msec_time(uint32_t *seconds, uint32_t *msec) noexcept {
    uint32_t s = 0, us = 0;
    if (seconds == nullptr || msec == nullptr || PLAT_usec_time(&s, &us) != 0) return 1;
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

// ---- File handle table ----

namespace {

constexpr int kHandles = 16;
constexpr int32_t kFree = -4;

// Handle h names slot h. Until the first PLAT_open fills the table with kFree, every slot
// counts as free, whatever the zero-initialised storage says.
int32_t plat_handles[kHandles];
uint32_t plat_initialised = 0;

// The descriptor behind a handle, or -1 when the handle is out of range or its slot is free.
// Negative handles arrive here as large unsigned numbers.
int32_t descriptor_of(uint32_t handle) {
    if (handle >= uint32_t(kHandles) || plat_initialised == 0) return -1;
    int32_t fd = plat_handles[handle];
    return fd == kFree ? -1 : fd;
}

int open_for(const char *path, uint32_t mode) {
    constexpr mode_t kPerm = 0644; // the process's file-creation mask still applies
    if (mode & 0x04) {
        int flags = O_WRONLY | O_CREAT | ((mode & 0x10) ? O_EXCL : O_TRUNC);
        return open(path, flags, kPerm);
    }
    const bool dash = std::strcmp(path, "-") == 0;
    const int append = (mode & 0x08) ? O_APPEND : 0;
    switch (mode & 0x03) {
    case 1:
        return dash ? STDIN_FILENO : open(path, O_RDONLY);
    case 2:
        return dash ? STDOUT_FILENO : open(path, O_WRONLY | append);
    case 3:
        return dash ? -1 : open(path, O_RDWR | append);
    default:
        return -1;
    }
}

} // namespace

/// A null path fails like an open that failed (-1).
int32_t PLAT_open(const char *path, uint32_t mode) noexcept {
    if (path == nullptr) return PXR_BAD;
    if (plat_initialised == 0) {
        for (int32_t &slot : plat_handles) slot = kFree;
        plat_initialised = 1;
    }
    int handle = 0;
    while (handle < kHandles && plat_handles[handle] != kFree) ++handle;
    if (handle == kHandles) return PXR_FILE_TABLE_FULL;
    // The slot is taken only once the open has succeeded.
    int fd = open_for(path, mode);
    if (fd < 0) return PXR_BAD;
    plat_handles[handle] = fd;
    return handle;
}

/// A handle outside 0..15 returns -1 and touches nothing.
int32_t PLAT_close(int32_t handle) noexcept {
    if (handle < 0 || handle >= kHandles) return PXR_BAD;
    if (plat_initialised == 0) return PXR_OK;
    int32_t fd = plat_handles[handle];
    // Standard input and output stay open, however they came into the slot.
    if (fd != kFree && fd != STDIN_FILENO && fd != STDOUT_FILENO) close(fd);
    plat_handles[handle] = kFree;
    return PXR_OK;
}

int32_t PLAT_read(uint32_t handle, void *buf, uint32_t length) noexcept {
    int32_t fd = descriptor_of(handle);
    if (fd < 0) return PXR_BAD;
    uint32_t done = 0;
    for (;;) {
        ssize_t n = read(fd, static_cast<char *>(buf) + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return PXR_BAD; // the bytes already read are lost to the caller
        }
        if (n == 0) return done > 0 ? int32_t(done) : PXR_FILE_EOF;
        done += uint32_t(n);
        if (done == length) return int32_t(done);
    }
}

int32_t PLAT_write(uint32_t handle, const void *buf, uint32_t length) noexcept {
    int32_t fd = descriptor_of(handle);
    if (fd < 0) return PXR_BAD;
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, static_cast<const char *>(buf) + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return PXR_BAD;
        }
        done += uint32_t(n);
    }
    return int32_t(length);
}

int32_t PLAT_puts(uint32_t handle, const char *text) noexcept {
    return PLAT_write(handle, text, uint32_t(std::strlen(text)));
}

int32_t PLAT_seek(int32_t handle, int32_t offset, int32_t origin) noexcept {
    int32_t fd = descriptor_of(uint32_t(handle));
    if (fd < 0) return PXR_FILE_BAD_HANDLE;
    int whence;
    switch (origin) {
    case 0:
        whence = SEEK_CUR;
        break;
    case 1:
        whence = SEEK_SET;
        break;
    case -1:
        whence = SEEK_END;
        break;
    default:
        return PXR_FILE_BAD_ORIGIN;
    }
    return lseek(fd, off_t(offset), whence) < 0 ? PXR_BAD : PXR_OK;
}

int32_t PLAT_os_handle(uint32_t handle) noexcept {
    return descriptor_of(handle);
}

int32_t PLAT_declare_global(const void *) noexcept {
    return 0;
}
