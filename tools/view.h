// The one view of an environment that the tools and the bridge use: every mapping of a
// System V segment by key or id, the slot addressing of a mapped message array, and the module
// queues' statistics, all without attaching. Nothing else in the tools maps a segment.
#pragma once

#include "pxrlib.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pxrtool {

// What the inspection commands say when no environment runs: the fact, then what to do next.
inline constexpr const char *kNoEnvironment =
    "no environment is running (start one with `pxr load FILE`; one started with `pxr load "
    "--name NAME FILE` is reached with `pxr --name NAME COMMAND`)";

// A shared-memory segment mapped into this process, unmapped when the object goes away.
class Segment {
  public:
    Segment() = default;
    ~Segment();
    Segment(Segment &&other) noexcept;
    Segment &operator=(Segment &&other) noexcept;
    Segment(const Segment &) = delete;
    Segment &operator=(const Segment &) = delete;

    // The segment under key, read-only; empty when there is none or it cannot be mapped (the
    // errno is kept in error()).
    static Segment open(int key);
    // A segment of size under key for a record the tools publish, mapped for writing: made when
    // there is none, made again when the one there has another size. Empty when it belongs to
    // another user (error() EPERM) or cannot be made.
    static Segment publish(int key, std::size_t size, int mode);

    // The segment with this id mapped for writing, for a process that must keep its own
    // mapping (the loader keeps the common area it made even when the library detaches).
    static Segment attach(int id);

    explicit operator bool() const { return addr_ != nullptr; }
    const uint8_t *data() const { return addr_; }
    uint8_t *writable() const { return addr_; }
    std::size_t size() const { return size_; }
    int id() const { return id_; }
    int error() const { return error_; }
    // The mapped record, or null when the segment is too small for it.
    template <typename T>
    const T *as() const {
        return size_ >= sizeof(T) ? reinterpret_cast<const T *>(addr_) : nullptr;
    }
    // Marks the segment for removal (it goes when the last process unmaps it).
    void remove() const;

  private:
    // Maps the segment with this id (its size from IPC_STAT).
    static Segment map(int id, bool writable);
    static Segment failed(int error);

    uint8_t *addr_ = nullptr;
    std::size_t size_ = 0;
    int id_ = -1;
    int error_ = 0;
};

// The slot of buffer i in a mapped message array with this stride; null when the slot does
// not lie wholly inside the bytes mapped.
const SysMsg *slot_in(const uint8_t *array, std::size_t bytes, uint32_t stride, uint32_t i);

// The largest buffer count of a partition.
inline constexpr int32_t kMaxBuffers = 65000;

// Whether a header's geometry is one a partition can have and fits a message array of
// array_bytes (its size as the kernel keeps it), computed in 64 bits.
bool geometry_fits(const PartitionHeader &h, std::size_t array_bytes);

// One partition's header and message array, mapped read-only. No slot is found through a
// header whose geometry does not fit the array.
struct PartitionView {
    Segment header, array;
    explicit PartitionView(int partition);
    const PartitionHeader *h() const { return header.as<PartitionHeader>(); }
    // The slot of buffer i, or null outside the partition.
    const SysMsg *slot(uint32_t i) const;
};

// Read-only view of the common area of the running environment, mapped without attaching.
class CommonView {
  public:
    // Maps the area; false (with the reason in why) when no environment exists.
    bool map(std::string &why);
    // The same, reporting the reason as "pxr CMD: why" on standard error.
    bool map_for(const char *cmd);
    const CommonArea *get() const { return segment_.as<CommonArea>(); }
    const CommonArea *operator->() const { return get(); }
    int id() const { return segment_.id(); }

  private:
    Segment segment_;
};

// Records that receives dropped in the environment (its extension area), -1 when unknown.
int64_t dropped_records();

} // namespace pxrtool
