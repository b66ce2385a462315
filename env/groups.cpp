// Groups: a module id naming up to 16 member modules, one send that puts a reference to the
// same buffer into every member's queue, and the shares that bring the buffer back to its
// partition when the last member has given its share back (see groups.h).
//
// The shares of a buffer are fungible: a receive claims any unclaimed one (holder 0) with its
// pid, so the unclaimed shares always match the references still in queues, and a release
// gives back one share of the caller's pid. A share whose reference is not put yet is held
// under the sender's pid and becomes unclaimed just before its put: a sender killed in the
// middle of a group send leaves its pid on the shares it never sent, which a reclaim gives
// back. No member's release can free the buffer while shares are still unsent.
#include "env/groups.h"

#include "env/flow.h"
#include "env/ring_queues.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/msg.h>
#include <sys/shm.h>

namespace pxr_impl {

GroupsView groups;

namespace {

constexpr auto kCount = PXR_GROUP_MEMBERS;

std::atomic_ref<int32_t> holder(ShareRecord &r, int k) noexcept {
    return std::atomic_ref<int32_t>(r.holder[k]);
}
std::atomic_ref<uint32_t> count_of(ShareRecord &r) noexcept {
    return std::atomic_ref<uint32_t>(r.count);
}

// Swaps one holder word from `from` to `to`: true if one was found.
bool swap_holder(ShareRecord &r, int32_t from, int32_t to) noexcept {
    for (int k = 0; k < kCount; ++k) {
        int32_t expected = from;
        if (holder(r, k).load() == from && holder(r, k).compare_exchange_strong(expected, to))
            return true;
    }
    return false;
}

void clear_shares(ShareRecord &r) noexcept {
    for (int k = 0; k < kCount; ++k) holder(r, k).store(PXR_NO_HOLDER);
    count_of(r).store(0);
}

std::size_t segment_size(uint32_t n0, uint32_t n1) noexcept {
    return sizeof(GroupArea) + (std::size_t(n0) + n1) * sizeof(ShareRecord);
}

void adopt(GroupArea *area, int id) noexcept {
    groups.area = area;
    groups.shares = reinterpret_cast<ShareRecord *>(area + 1);
    groups.covered[0] = area->num_msgs[0];
    groups.covered[1] = area->num_msgs[1];
    groups.id = id;
}

bool make_segment() noexcept {
    uint32_t n[kPartitions] = {};
    for (int p = 0; p < kPartitions; ++p)
        if (partition_hdr[p] != nullptr) n[p] = uint32_t(partition_geometry[p].num_msgs);
    int id = -1;
    auto *area = static_cast<GroupArea *>(
        SYS_alloc_shm(&id, int32_t(segment_size(n[0], n[1])), PXR_KEY_GROUPS, 1));
    if (area == nullptr) return false;
    std::memset(area, 0, sizeof(GroupArea));
    area->num_msgs[0] = n[0];
    area->num_msgs[1] = n[1];
    auto *shares = reinterpret_cast<ShareRecord *>(area + 1);
    for (uint32_t i = 0; i < n[0] + n[1]; ++i) clear_shares(shares[i]);
    std::atomic_ref(area->version).store(PXR_GROUP_VERSION);
    adopt(area, id);
    return true;
}

bool creator_before_running() noexcept {
    return common_ptr != nullptr && attachment.creator &&
           (shared(common_ptr->flags).load() & CA_RUNNING) == 0;
}

bool has_own_queue(uint32_t module) noexcept {
    const ModuleQueueEntry &e = common_ptr->module_queues[module];
    return e.msqid != PXR_NO_QUEUE && (e.queue_flags & 1u) != 0;
}

// The word a sender waiting for room in module's queue sleeps on.
RoomWord *member_room(uint8_t module) noexcept {
    const uint32_t qid = common_ptr->module_queues[module].msqid;
    return qid != PXR_NO_QUEUE ? queue_room(qid) : nullptr;
}

// Room for one more record in module's queue now (the all-or-nothing send looks first).
bool has_room(uint8_t module) noexcept {
    const uint32_t qid = common_ptr->module_queues[module].msqid;
    if (qid == PXR_NO_QUEUE) return false;
    if (const ring::View ring = ring_of_queue(module, qid))
        return ring::depth(ring) < ring.capacity;
    msqid_ds ds{};
    if (msgctl(int(qid), IPC_STAT, &ds) != 0) return false;
    return ds.__msg_cbytes + kRecordText <= ds.msg_qbytes;
}

} // namespace

void map_groups() noexcept {
    const int id = shmget(PXR_KEY_GROUPS, 0, open_perm());
    if (id < 0 || !trusted_shm(id, PXR_KEY_GROUPS)) return;
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_segsz < sizeof(GroupArea)) return;
    void *at = shmat(id, nullptr, 0);
    if (at == reinterpret_cast<void *>(-1)) return;
    auto *area = static_cast<GroupArea *>(at);
    // The sizes are read once, here, and must describe this segment; a segment of another
    // layout is left alone.
    const uint32_t n0 = std::atomic_ref(area->num_msgs[0]).load();
    const uint32_t n1 = std::atomic_ref(area->num_msgs[1]).load();
    if (std::atomic_ref(area->version).load() != PXR_GROUP_VERSION || n0 > uint32_t(kMaxBuffers) ||
        n1 > uint32_t(kMaxBuffers) || segment_size(n0, n1) > ds.shm_segsz) {
        shmdt(at);
        return;
    }
    adopt(area, id);
}

void release_groups(bool remove) noexcept {
    if (groups.area != nullptr) {
        shmdt(groups.area);
        if (remove) shmctl(groups.id, IPC_RMID, nullptr);
    }
    groups = GroupsView{};
}

void remove_stale_groups() noexcept {
    const int id = shmget(PXR_KEY_GROUPS, 0, open_perm());
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

const GroupRecord *group_of(uint32_t module) noexcept {
    if (groups.area == nullptr || module >= PXR_MODULE_COUNT) return nullptr;
    const GroupRecord &g = groups.area->groups[module];
    const uint8_t n = std::atomic_ref(const_cast<uint8_t &>(g.count)).load();
    return n >= 1 && n <= kCount ? &g : nullptr;
}

bool take_whole(const MsgSlot &m) noexcept {
    ShareRecord *r = share_record(m);
    if (!is_shared(r)) return true;
    if (count_of(*r).load() != 1 || !swap_holder(*r, my_pid, PXR_NO_HOLDER)) return false;
    clear_shares(*r);
    return true;
}

void claim_share(const MsgSlot &m) noexcept {
    ShareRecord *r = share_record(m);
    if (is_shared(r)) swap_holder(*r, 0, my_pid);
}

int give_back_share(const MsgSlot &m, int32_t pid) noexcept {
    ShareRecord *r = share_record(m);
    if (!is_shared(r)) return 2;
    if (!swap_holder(*r, pid, PXR_NO_HOLDER)) return 1;
    return count_of(*r).fetch_sub(1) == 1 ? 2 : 0;
}

int group_send(const GroupRecord &shared_group, const MsgSlot &m,
               const uint64_t *deadline_ns) noexcept {
    GroupRecord g;
    std::memcpy(&g, &shared_group, sizeof g); // one snapshot; the count was checked
    const int n = std::min<int>(g.count, kCount);
    ShareRecord *r = share_record(m);
    if (r == nullptr) return -1; // a partition made after the groups: its buffers cannot be shared
    const bool all = g.all_or_nothing != 0;
    const bool timed = deadline_ns != nullptr;
    RoomWord *room = nullptr;
    if (all) {
        // Room in every queue at one look, else nobody gets it; a timed send waits for that
        // look on the word of a queue found full.
        const int rc = wait_for_room(room, timed ? *deadline_ns : 0, 1, [&]() noexcept {
            for (int k = 0; k < n; ++k)
                if (g.members[k] >= PXR_MODULE_COUNT) return -1;
            for (int k = 0; k < n; ++k)
                if (!has_room(g.members[k])) {
                    room = member_room(g.members[k]);
                    return timed ? kFull : -1;
                }
            return 0;
        });
        if (rc != 0) return rc;
    }

    const auto index = uint16_t(m.index);
    const auto partition = uint16_t(m.partition);
    const int32_t sender = my_pid;
    store_word(m.slot, offsetof(SysMsg, send_pid), uint32_t(my_pid));
    for (int k = 0; k < kCount; ++k) holder(*r, k).store(k < n ? sender : PXR_NO_HOLDER);
    count_of(*r).store(uint32_t(n));

    // Until its put succeeds, a member's share is held under the sender's pid, so no member's
    // release can free the buffer while a put is still to come, and a sender killed meanwhile
    // leaves shares that a reclaim gives back.
    uint32_t waiting = (1u << n) - 1, failed = 0;
    bool first_look = true;
    const auto put_all = [&]() noexcept {
        for (int k = 0; k < n; ++k) {
            if ((waiting & (1u << k)) == 0) continue;
            const uint8_t member = g.members[k];
            // A share is unclaimed without a record between the swap and the put, where a
            // kill would strand it: a wait looks for room first rather than open that window
            // at every wake-up.
            if (!first_look && !has_room(member)) {
                room = member_room(member);
                continue;
            }
            swap_holder(*r, sender, 0); // this member's share: its receive may claim it now
            // All-or-nothing found room in every queue; one that filled since is retried as a
            // plain send retries (a timed send waits for it instead), and only then missed.
            const auto put = [&](bool &) { return put_reference(member, index, partition); };
            bool progress = false;
            const int err = member >= PXR_MODULE_COUNT ? EINVAL
                            : all && !timed            ? put_retrying(put)
                                                       : put(progress);
            if (err == 0) {
                waiting &= ~(1u << k);
                continue;
            }
            swap_holder(*r, 0, sender); // an unclaimed share is there: at least the one just made
            if (!timed || (err != EAGAIN && err != ENOMEM)) {
                waiting &= ~(1u << k);
                failed |= 1u << k;
            } else {
                room = member_room(member);
            }
        }
        first_look = false;
        return waiting != 0 ? kFull : 0;
    };
    if (timed)
        wait_for_room(room, *deadline_ns, kFull, put_all);
    else
        put_all();

    // Members still full at the deadline miss it as a failed put does.
    const std::size_t group_index = std::size_t(&shared_group - groups.area->groups);
    GroupRecord &live = groups.area->groups[group_index];
    const uint32_t missing = failed | waiting;
    int missed = 0;
    bool released = false; // the members reached had all given their shares back
    for (int k = 0; k < n; ++k) {
        if ((missing & (1u << k)) == 0) continue;
        ++missed;
        std::atomic_ref(live.dropped[k]).fetch_add(1);
        swap_holder(*r, sender, PXR_NO_HOLDER);
        released = count_of(*r).fetch_sub(1) == 1;
    }
    if (missed == n) {
        clear_shares(*r);
        return timed && waiting != 0 ? 1 : -1;
    }
    std::atomic_ref(live.sends).fetch_add(1);
    // The last share was this sender's missed one: every member reached has given its back.
    if (released) release_checked(0, m);
    return timed ? 0 : missed;
}

} // namespace pxr_impl

/// Refused once the environment runs: processes that attached before a group existed would
/// not know its shares. A partition made after the first group has buffers that cannot be sent
/// to a group (such a send is refused with -1).
int PXR_group_create(uint32_t group, const uint8_t *members, uint32_t count) noexcept {
    using namespace pxr_impl;
    if (!creator_before_running() || group >= PXR_MODULE_COUNT || members == nullptr ||
        count == 0 || count > kCount)
        return 1;
    if (common_ptr->module_queues[group].msqid != PXR_NO_QUEUE || group_of(group) != nullptr)
        return 1;
    for (uint32_t k = 0; k < count; ++k) {
        if (members[k] >= PXR_MODULE_COUNT || members[k] == group || !has_own_queue(members[k]))
            return 1;
        for (uint32_t j = 0; j < k; ++j)
            if (members[j] == members[k]) return 1;
    }
    if (groups.area == nullptr && !make_segment()) return 1;
    GroupRecord &g = groups.area->groups[group];
    std::memset(&g, 0, sizeof g);
    std::memcpy(g.members, members, count);
    std::atomic_ref(g.count).store(uint8_t(count));
    return 0;
}

int PXR_group_all_or_nothing(uint32_t group) noexcept {
    using namespace pxr_impl;
    if (!creator_before_running() || group_of(group) == nullptr) return 1;
    groups.area->groups[group].all_or_nothing = 1;
    return 0;
}

int32_t PXR_message_shares(const MSG *msg) noexcept {
    const pxr_impl::MsgSlot m = pxr_impl::find_msg(msg);
    if (m.partition < 0) return -1;
    const ShareRecord *r = pxr_impl::share_record(m);
    return pxr_impl::is_shared(r)
               ? int32_t(std::atomic_ref(const_cast<ShareRecord *>(r)->count).load())
               : 0;
}
