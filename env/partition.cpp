// Partitions of message buffers: creating or attaching the three objects of a partition,
// laying out its slots and free list, and mapping between buffer references and MSGs.
#include "pxrlib.h"

#include "env/lfpool.h"
#include "env/pxr_internal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr uint32_t kHeaderSize = sizeof(PartitionHeader);

// Arguments that would make the layout unusable; nothing has been touched when they fail.
bool acceptable(int32_t partition, int32_t num_msgs, uint32_t param_size, bool create,
                bool atomic) {
    if (partition < 0 || partition >= pxr_impl::kPartitions) return false;
    if (num_msgs > pxr_impl::kMaxBuffers || num_msgs < 0) return false;
    if (!create) return true;
    if (common_ptr == nullptr) return false;
    // The slot size and the array size must be what the 32-bit fields say they are.
    uint64_t stride = uint64_t(param_size) + PXR_SLOT_OVERHEAD;
    if (stride > UINT32_MAX || stride * uint64_t(num_msgs) > uint64_t(INT32_MAX)) return false;
    // The lock-free list keeps one buffer back, and its compare-and-swap needs aligned words.
    if (atomic && (num_msgs < 2 || param_size % 4 != 0)) return false;
    return true;
}

// Slots follow each other at stride bytes, so with a parameter size that is not a multiple
// of 4 the words of later slots are not aligned: they are written and read bytewise.
using pxr_impl::load_word;
using pxr_impl::store_word;

void lay_out_slots(int32_t partition, PartitionHeader *h, uint8_t *array, bool atomic) {
    const uint32_t stride = h->stride;
    const uint32_t count = uint32_t(h->num_msgs);
    auto slot = [&](uint32_t i) { return array + std::size_t(i) * stride; };
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t *s = slot(i);
        std::memset(s, 0, stride);
        store_word(s, offsetof(SysMsg, index), i);
        store_word(s, offsetof(SysMsg, partition), uint32_t(partition));
        store_word(s, offsetof(SysMsg, allocated), 0);
        store_word(s, offsetof(SysMsg, next), i + 1);
        store_word(s, offsetof(SysMsg, front_guard), PXR_FRONT_GUARD);
        store_word(s, stride - 4, PXR_REAR_GUARD);
    }
    store_word(slot(count - 1), offsetof(SysMsg, next), PXR_NO_INDEX);
    if (atomic) {
        // The tail names the slot before the last: one buffer always stays on the list.
        pxr_impl::lf::set_fresh_ends(pxr_impl::lf::List{h, array, stride, count});
    } else {
        h->free_head = 0;
        h->free_tail = count - 1;
    }
}

// The size of the message array an attached header describes, checked in 64 bits: 0 when a
// count, stride or size cannot be right (the header was written by someone), said once on
// standard error. The kernel then checks that size against the segment's own when it is mapped.
uint32_t attached_array_size(int p, const PartitionHeader *h) {
    const int32_t count = h->num_msgs;
    const uint32_t param_size = h->param_size, stride = h->stride;
    const uint64_t bytes = uint64_t(count > 0 ? count : 0) * stride;
    if (count >= 1 && count <= pxr_impl::kMaxBuffers &&
        uint64_t(stride) == uint64_t(param_size) + PXR_SLOT_OVERHEAD && bytes <= INT32_MAX)
        return uint32_t(bytes);
    fprintf(stderr,
            "(%d)PXR: partition %d is damaged: num_msgs %d, param_size %u, stride %u describe no "
            "message array; not attached\n",
            int(getpid()), p, count, param_size, stride);
    return 0;
}

const uint8_t *slot_bytes(const MSG *msg) {
    return reinterpret_cast<const uint8_t *>(msg) - PXR_SYSMSG_SIZE;
}

} // namespace

/// Refuses with 1, touching nothing: a partition other than 0 or 1, a negative num_msgs, the
/// atomic form with fewer than 2 buffers or a param_size not a multiple of 4, a slot or array
/// size beyond 32 bits, a create by an unattached caller. An attach of a partition attached
/// here keeps the mapping in use when the partition is still the same.
uint32_t PXR_open_partition(int32_t partition, int32_t num_msgs, uint32_t param_size,
                            uint32_t onset, uint32_t abate, int32_t flags) noexcept {
    const bool create = (flags & PXR_OPEN_CREATE) != 0;
    const bool atomic = (flags & PXR_OPEN_ATOMIC) != 0;
    if (!acceptable(partition, num_msgs, param_size, create, atomic)) return 1;
    const int p = partition;

    if (create) {
        int probe_id = -1;
        void *probe = SYS_alloc_shm(&probe_id, kHeaderSize, pxr_impl::kPartitionHeaderKey + p, 0);
        if (probe != nullptr) {
            SYS_free_shm(probe, probe_id, 0);
            return 1;
        }
    }

    int lock_id = -1, header_id = -1, array_id = -1;
    if (sema_open(&lock_id, pxr_impl::kPartitionLockKey + p, create) != 0) return 1;

    auto *h = static_cast<PartitionHeader *>(
        SYS_alloc_shm(&header_id, kHeaderSize, pxr_impl::kPartitionHeaderKey + p, create));
    if (h == nullptr) {
        sema_close(lock_id, create);
        return 1;
    }

    if (create) {
        std::memset(static_cast<void *>(h), 0, kHeaderSize);
        h->cong_onset = onset;
        h->num_msgs = num_msgs;
        h->cong_abate = abate;
        h->cong_module = common_ptr->congestion_module;
        h->param_size = param_size;
        h->stride = param_size + PXR_SLOT_OVERHEAD;
    }

    const uint32_t array_size =
        create ? uint32_t(h->num_msgs) * h->stride : attached_array_size(p, h);
    auto *array = array_size == 0 ? nullptr
                                  : static_cast<uint8_t *>(SYS_alloc_shm(
                                        &array_id, array_size, pxr_impl::kMsgArrayKey + p, create));
    if (array == nullptr) {
        SYS_free_shm(h, header_id, create);
        sema_close(lock_id, create);
        return 1;
    }

    if (create) lay_out_slots(p, h, array, atomic);
    if (partition_hdr[p] != nullptr) {
        // Attached already: the same segments keep the mapping in use, so every MSG this
        // process holds keeps its address; a partition made anew retires the old mapping.
        if (header_id == partition_hdr_id[p] && array_id == partition_msgarray_id[p]) {
            SYS_free_shm(array, array_id, 0);
            SYS_free_shm(h, header_id, 0);
            return 0;
        }
        pxr_impl::retire_partition(p);
    }
    pxr_impl::adopt_partition(p, h, header_id, array, array_id, lock_id);
    return 0;
}

// The exported addressing reads the stride from the partition header itself, so it also
// serves a partition a caller has mapped or laid out by other means.
SysMsg *index_to_partition_sysmsg(int32_t partition, uint32_t index) noexcept {
    return reinterpret_cast<SysMsg *>(partition_msgarray[partition] +
                                      std::size_t(index) * partition_hdr[partition]->stride);
}

MSG *index_to_msg(int32_t partition, uint32_t index) noexcept {
    return pxr_impl::msg_of(index_to_partition_sysmsg(partition, index));
}

uint32_t msg_to_index(MSG *msg, uint32_t *partition_out, uint32_t *index_out) noexcept {
    *partition_out = load_word(slot_bytes(msg), offsetof(SysMsg, partition));
    *index_out = load_word(slot_bytes(msg), offsetof(SysMsg, index));
    return 0;
}

/// Returns 0 when the message's partition is not attached in this process.
uint32_t PXR_parameter_size(MSG *msg) noexcept {
    int32_t p = int32_t(load_word(slot_bytes(msg), offsetof(SysMsg, partition)));
    if (p < 0 || p >= pxr_impl::kPartitions || partition_hdr[p] == nullptr) return 0;
    return partition_hdr[p]->param_size;
}

uint32_t PXR_partition_info(uint32_t partition, uint32_t *num_msgs_out, uint32_t *param_size_out,
                            uint32_t *cong_status_out) noexcept {
    if (!pxr_impl::lazy_attach(2)) return 0xFFFFFFFFu;
    if (partition >= uint32_t(pxr_impl::kPartitions) || partition_hdr[partition] == nullptr)
        return 0xFFFFFFFFu;
    const PartitionHeader *h = partition_hdr[partition];
    if (num_msgs_out != nullptr) *num_msgs_out = uint32_t(h->num_msgs);
    if (param_size_out != nullptr) *param_size_out = h->param_size;
    if (cong_status_out != nullptr) *cong_status_out = h->cong_status;
    return 0;
}
