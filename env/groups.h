// Groups: one send puts a reference to the same buffer into every member's queue, and the
// buffer carries one share per member reached (GroupArea and ShareRecord of pxrlib.h). What
// the transport, the pools and the helpers call; a process that never maps the groups'
// segment pays one pointer test per send, receive and release.
#pragma once

#include "env/pools.h"
#include "env/pxr_internal.h"

#include <cstdint>
#include <unistd.h>

namespace pxr_impl {

// This process's mapping of the groups' segment; null when the environment has no group.
struct GroupsView {
    GroupArea *area = nullptr;
    ShareRecord *shares = nullptr;
    uint32_t covered[kPartitions] = {}; // buffers with a share record, per partition
    int id = -1;
};
extern GroupsView groups;

// Maps the segment when the environment has one (at attach); drops it (removing it when remove
// is set); removes a segment an earlier run left (at creation).
void map_groups() noexcept;
void release_groups(bool remove) noexcept;
void remove_stale_groups() noexcept;

// The share record of a buffer, or null when the buffer has none.
inline ShareRecord *share_record(const MsgSlot &m) noexcept {
    if (groups.area == nullptr || m.partition < 0 || m.index >= groups.covered[m.partition])
        return nullptr;
    return &groups.shares[(m.partition == 0 ? 0 : groups.covered[0]) + m.index];
}
inline bool is_shared(const ShareRecord *r) noexcept {
    return r != nullptr && std::atomic_ref(const_cast<ShareRecord *>(r)->count).load() != 0;
}

// The group record of module, or null when module names no group.
const GroupRecord *group_of(uint32_t module) noexcept;

// Before a send or an answer of a buffer: true when the caller may write and pass it on (it
// is not shared, or the caller holds its last share: the buffer becomes a plain one again).
bool take_whole(const MsgSlot &m) noexcept;
// A receive stamps its pid into one unclaimed share of a shared buffer.
void claim_share(const MsgSlot &m) noexcept;
// A release of a shared buffer: 0 the caller's share was given back and others remain; 1 the
// caller holds no share (a second release); 2 it was the last share: release the buffer.
int give_back_share(const MsgSlot &m, int32_t holder) noexcept;

// One put of a reference into a module's queue without waiting (transport.cpp): 0, or the
// errno (EAGAIN full, EINVAL no queue of its own).
int put_reference(uint8_t module, uint16_t index, uint16_t partition) noexcept;
// PXR_send to a group, after the checks of PXR_send; with a deadline PXR_timed_send's, which
// waits for room in full members' queues until then and answers 0 (the buffer went to at least
// one member), 1 (the time ran out and it went to none) or -1.
int group_send(const GroupRecord &group, const MsgSlot &m,
               const uint64_t *deadline_ns = nullptr) noexcept;

} // namespace pxr_impl
