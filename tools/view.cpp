#include "view.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <utility>

namespace pxrtool {

Segment::~Segment() {
    if (addr_ != nullptr) shmdt(addr_);
}

Segment::Segment(Segment &&other) noexcept
    : addr_(std::exchange(other.addr_, nullptr)), size_(other.size_), id_(other.id_),
      error_(other.error_) {}

Segment &Segment::operator=(Segment &&other) noexcept {
    if (this != &other) {
        if (addr_ != nullptr) shmdt(addr_);
        addr_ = std::exchange(other.addr_, nullptr);
        size_ = other.size_;
        id_ = other.id_;
        error_ = other.error_;
    }
    return *this;
}

Segment Segment::failed(int error) {
    Segment s;
    s.error_ = error;
    return s;
}

Segment Segment::map(int id, bool writable) {
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) != 0) return failed(errno);
    void *p = shmat(id, nullptr, writable ? 0 : SHM_RDONLY);
    if (p == reinterpret_cast<void *>(-1)) return failed(errno);
    Segment s;
    s.addr_ = static_cast<uint8_t *>(p);
    s.size_ = ds.shm_segsz;
    s.id_ = id;
    return s;
}

Segment Segment::open(int key) {
    const int id = shmget(key, 0, 0);
    return id < 0 ? failed(errno) : map(id, false);
}

Segment Segment::publish(int key, std::size_t size, int mode) {
    int id = shmget(key, size, IPC_CREAT | mode);
    if (id < 0 && errno == EINVAL) { // another size: one an older version left
        shmctl(shmget(key, 0, 0), IPC_RMID, nullptr);
        id = shmget(key, size, IPC_CREAT | mode);
    }
    shmid_ds ds{};
    if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) return failed(errno);
    if (ds.shm_perm.cuid != geteuid()) return failed(EPERM);
    return map(id, true);
}

Segment Segment::attach(int id) {
    return id < 0 ? failed(EINVAL) : map(id, true);
}

void Segment::remove() const {
    if (id_ >= 0) shmctl(id_, IPC_RMID, nullptr);
}

const SysMsg *slot_in(const uint8_t *array, std::size_t bytes, uint32_t stride, uint32_t i) {
    const std::size_t at = std::size_t(i) * stride;
    if (array == nullptr || stride < sizeof(SysMsg) || at + stride > bytes) return nullptr;
    return reinterpret_cast<const SysMsg *>(array + at);
}

PartitionView::PartitionView(int partition)
    : header(Segment::open(PXR_KEY_PARTITION_HEADER + partition)),
      array(Segment::open(PXR_KEY_MSG_ARRAY + partition)) {}

bool geometry_fits(const PartitionHeader &h, std::size_t array_bytes) {
    return h.num_msgs >= 1 && h.num_msgs <= kMaxBuffers &&
           uint64_t(h.stride) == uint64_t(h.param_size) + PXR_SLOT_OVERHEAD &&
           uint64_t(h.num_msgs) * h.stride <= array_bytes;
}

const SysMsg *PartitionView::slot(uint32_t i) const {
    const PartitionHeader *hd = h();
    if (hd == nullptr || i >= uint32_t(hd->num_msgs) || !geometry_fits(*hd, array.size()))
        return nullptr;
    return slot_in(array.data(), array.size(), hd->stride, i);
}

bool CommonView::map_for(const char *cmd) {
    std::string why;
    if (map(why)) return true;
    std::fprintf(stderr, "pxr %s: %s\n", cmd, why.c_str());
    return false;
}

bool CommonView::map(std::string &why) {
    segment_ = Segment::open(PXR_KEY_COMMON_AREA);
    if (segment_ && get() != nullptr) return true;
    if (segment_)
        why = "the common area has an unexpected size";
    else if (segment_.error() == ENOENT)
        why = kNoEnvironment;
    else
        why = std::string("cannot map the common area: ") + std::strerror(segment_.error());
    segment_ = Segment();
    return false;
}

int64_t dropped_records() {
    const Segment x = Segment::open(PXR_KEY_EXTENSION);
    const ExtensionArea *area = x.as<ExtensionArea>();
    return area != nullptr && area->version == PXR_EXTENSION_VERSION ? area->dropped_records : -1;
}

} // namespace pxrtool
