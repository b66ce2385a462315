// The lock-free buffer pool: the index free list of lfpool.h, plus the statistics and the
// congestion levels that go with every take and release, all by atomic operations on words
// that every process sees.
#include "pxrlib.h"

#include "env/pools.h"

#include <atomic>
#include <cstddef>

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// Raises word to n unless it already holds n or more. True when n was above the value first
// seen.
inline bool raise_to(uint32_t &word, uint32_t n) noexcept {
    auto w = pxr_impl::shared(word);
    uint32_t cur = w.load();
    if (n <= cur) return false;
    while (n > cur && !w.compare_exchange_weak(cur, n)) {
    }
    return true;
}

// Stamps a header time without a lock: word by word, so two writers at once may leave a mix
// of their two times (each word is one of them), never a torn word.
void stamp_time(Timestamp &field) noexcept {
    Timestamp now{};
    if (PLAT_timestamp(&now) != 0) return;
    const uint32_t *from = &now.year;
    uint32_t *to = &field.year;
    for (std::size_t i = 0; i < sizeof now / sizeof(uint32_t); ++i)
        pxr_impl::shared(to[i]).store(from[i], kRelaxed);
}

} // namespace

namespace pxr_impl {

namespace {

// The counts of an allocation of n buffers that left alloc_count at old + n, each level as the
// n single takes in a row would have met it: onset when one of them brought the count to one
// below cong_onset.
void count_taken(PartitionHeader *h, uint32_t s, uint32_t n, uint32_t *onset_flag) noexcept {
    const uint32_t old = pxr_impl::shared(h->alloc_count).fetch_add(n);
    const uint32_t level = h->cong_onset - 1;
    if (s == 0 && level - old - 1 < n) {
        uint32_t zero = 0;
        if (pxr_impl::shared(*onset_flag).compare_exchange_strong(zero, 1)) {
            pxr_impl::shared(h->cong_count).fetch_add(1);
            pxr_impl::shared(h->cong_count_reset).fetch_add(1);
            stamp_time(h->cong_onset_time);
        }
    }
    raise_to(h->max_alloc, old + n);
    if (raise_to(h->max_alloc_reset, old + n)) stamp_time(h->max_alloc_time);
}

// A take that found no buffer: counted (with count_empty) as the pool's exhaustion, or reported
// as damage.
void count_refusal(int p, const pxr_impl::lf::Taken &t, bool count_empty) noexcept {
    if (t.outcome == pxr_impl::lf::Outcome::last_one && count_empty)
        pxr_impl::shared(partition_hdr[p]->out_of_msg).fetch_add(1);
    else if (t.outcome == pxr_impl::lf::Outcome::damaged)
        pxr_impl::report_damage(p, t.damage);
    // inconsistent: a race, not an exhaustion, and not counted
}

} // namespace

SysMsg *lockfree_take(int p, uint32_t *onset_flag, bool count_empty) noexcept {
    PartitionHeader *h = partition_hdr[p];
    const lf::Taken t = lf::take(lockfree_list(p));
    if (t.outcome != lf::Outcome::done) {
        count_refusal(p, t, count_empty);
        return nullptr;
    }
    count_taken(h, pxr_impl::shared(h->cong_status).load(kRelaxed), 1, onset_flag);
    return t.slot;
}

uint32_t lockfree_take_many(int p, SysMsg **out, uint32_t want, uint32_t *onset_flag,
                            bool count_empty) noexcept {
    PartitionHeader *h = partition_hdr[p];
    lf::Taken why;
    const uint32_t n = lf::take_many(lockfree_list(p), out, want, why);
    if (n == 0) {
        count_refusal(p, why, count_empty);
        return 0;
    }
    count_taken(h, pxr_impl::shared(h->cong_status).load(kRelaxed), n, onset_flag);
    return n;
}

uint32_t lockfree_release_many(int p, SysMsg *const *slots, uint32_t n) noexcept {
    PartitionHeader *h = partition_hdr[p];
    // Without congestion none of the n releases can abate: they go as one chain.
    if (pxr_impl::shared(h->cong_status).load(kRelaxed) != 0) {
        uint32_t done = 0;
        while (done < n && lockfree_release(p, slots[done]) == 0) ++done;
        return done;
    }
    pxr_impl::shared(h->alloc_count).fetch_sub(n);
    lf::Damage damage;
    if (lf::put_many(lockfree_list(p), slots, n, damage) == lf::Outcome::done) return n;
    pxr_impl::shared(h->alloc_count).fetch_add(n);
    report_damage(p, damage);
    return 0;
}

uint32_t lockfree_release(int p, SysMsg *slot) noexcept {
    PartitionHeader *h = partition_hdr[p];
    const uint32_t s = pxr_impl::shared(h->cong_status).load(kRelaxed);
    const uint32_t n = pxr_impl::shared(h->alloc_count).fetch_sub(1) - 1;
    if (s != 0 && n == h->cong_abate) {
        uint32_t one = 1;
        if (pxr_impl::shared(h->cong_status).compare_exchange_strong(one, 0)) {
            const uint32_t sent =
                update_congestion(pxr_impl::msg_of(slot), 0, p, int32_t(h->cong_module));
            // A failed send may have ended the environment and detached this process.
            if (partition_hdr[p] != h) return 0;
            if (sent == 0) {
                // The buffer stays counted while the congestion module holds it.
                pxr_impl::shared(h->alloc_count).fetch_add(1);
                return 0;
            }
        }
    }

    lf::Damage damage;
    if (lf::put(lockfree_list(p), slot, damage) == lf::Outcome::done) return 0;
    // Not linked: the buffer stays allocated to the caller and counted.
    pxr_impl::shared(h->alloc_count).fetch_add(1);
    report_damage(p, damage);
    return 1;
}

} // namespace pxr_impl

SysMsg *atomic_getmem(uint32_t size, uint32_t *onset_flag) noexcept {
    const int p = pxr_impl::choose_partition(size);
    return p < 0 ? nullptr : pxr_impl::lockfree_take(p, onset_flag);
}

/// Returns 1, touching nothing, for a slot that is not a buffer of a partition attached here
/// (by its address and its partition and index words), and for a list found damaged.
uint32_t atomic_relmem(SysMsg *slot) noexcept {
    const pxr_impl::MsgSlot m =
        pxr_impl::find_msg(slot == nullptr ? nullptr : pxr_impl::msg_of(slot));
    if (m.partition < 0 || slot->partition != m.partition || slot->index != m.index) return 1;
    return pxr_impl::lockfree_release(m.partition, slot);
}

/// Needs no lock: the caller guarantees that no process allocates or releases meanwhile.
int32_t PXR_repair_partition(uint32_t partition, uint32_t *relinked_out) noexcept {
    if (relinked_out != nullptr) *relinked_out = 0;
    if (common_ptr == nullptr || (common_ptr->atomic_mode & 1u) == 0) return -1;
    if (partition >= uint32_t(pxr_impl::kPartitions) || partition_hdr[partition] == nullptr)
        return -1;
    const pxr_impl::lf::List list = pxr_impl::lockfree_list(int(partition));
    const pxr_impl::lf::Repair r = pxr_impl::lf::repair(list);
    if (r.damaged) return 1;
    uint32_t allocated = 0;
    for (uint32_t i = 0; i < list.count; ++i) allocated += list.slot(i)->allocated != 0 ? 1 : 0;
    pxr_impl::shared(list.header->alloc_count).store(allocated);
    if (relinked_out != nullptr) *relinked_out = r.relinked;
    return 0;
}
