// Per-thread buffer caches of the lock-free pool: a thread that allocates and releases often
// writes the partition header's shared line once per half cache instead of at every call.
#include "env/buffer_cache.h"

#include "env/pools.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <pthread.h>

namespace {

constexpr uint32_t kMaxDepth = 64;
constexpr auto kRelaxed = std::memory_order_relaxed;

std::atomic<uint32_t> depth{0};
std::atomic<bool> used{false};
// Raised whenever a partition is detached: caches filled before name buffers of a mapping
// that may be gone, or of another environment mapped at the same address.
std::atomic<uint32_t> generation{1};

// Zero-initialised plain data: a thread's first use costs no guard.
struct ThreadCache {
    uint32_t generation;
    bool registered; // the thread's exit flushes it
    uint32_t count[pxr_impl::kPartitions];
    SysMsg *slots[pxr_impl::kPartitions][kMaxDepth];
};
thread_local ThreadCache cache;

pthread_key_t exit_key;

void flush(ThreadCache &c, int p) noexcept {
    if (c.count[p] == 0) return;
    if (c.generation == generation.load(kRelaxed) && partition_hdr[p] != nullptr) {
        for (uint32_t i = 0; i < c.count[p]; ++i) c.slots[p][i]->relmem_pid = my_pid;
        // Whatever does not go back stays allocated to this process.
        pxr_impl::lockfree_release_many(p, c.slots[p], c.count[p]);
    }
    c.count[p] = 0;
}

void flush_all(ThreadCache &c) noexcept {
    for (int p = 0; p < pxr_impl::kPartitions; ++p) flush(c, p);
}

// The calling thread's cache, emptied of what an earlier attachment left in it.
ThreadCache &current() noexcept {
    ThreadCache &c = cache;
    const uint32_t g = generation.load(kRelaxed);
    if (c.generation != g) [[unlikely]] {
        std::memset(c.count, 0, sizeof c.count);
        c.generation = g;
        if (!c.registered) {
            static std::once_flag made;
            std::call_once(made, [] {
                pthread_key_create(&exit_key,
                                   [](void *own) { flush_all(*static_cast<ThreadCache *>(own)); });
            });
            pthread_setspecific(exit_key, &c);
            c.registered = true;
        }
    }
    return c;
}

// The exiting thread's caches at a normal exit (the other threads' are the process's until a
// reclaim): a static object's destructor, made when the cache is first turned on.
struct ExitFlush {
    ~ExitFlush() { flush_all(cache); }
};

inline uint32_t word_index_of(const SysMsg *slot) noexcept {
    return pxr_impl::lf::word_index(slot->index);
}

// A buffer entering a cache: stamped allocated by this process and never sent since, so that
// only this process is charged with it.
inline void stamp_cached(SysMsg *slot) noexcept {
    pxr_impl::stamp_owner(slot);
    pxr_impl::shared(slot->next).store(pxr_impl::kCachedMark, kRelaxed);
}

// Caches may hold buffers of p, extra more of them: the partition is not congested and stays
// at most half allocated, so that buffers sitting in caches never make another thread's
// allocation fail or wait, nor hold congestion up.
bool roomy(int p, uint32_t extra) noexcept {
    PartitionHeader *h = partition_hdr[p];
    if (pxr_impl::shared(h->cong_status).load(kRelaxed) != 0) return false;
    const uint32_t allocated = pxr_impl::shared(h->alloc_count).load(kRelaxed);
    const uint32_t usable = uint32_t(partition_geometry[p].num_msgs) - 1;
    return allocated + extra <= usable / 2;
}

} // namespace

namespace pxr_impl {

bool buffer_cache_used() noexcept {
    return used.load(kRelaxed);
}

SysMsg *cache_take(int p, uint32_t *onset_flag, bool count_empty) noexcept {
    ThreadCache &c = current();
    SysMsg *b = nullptr;
    if (c.count[p] > 0) {
        b = c.slots[p][--c.count[p]];
        // The mark goes; what replaces it must not be kNone, which an appender that read the
        // list before this buffer left it may still expect there (it would link its buffer
        // behind one that is not listed). The slot's own index is neither.
        shared(b->next).store(word_index_of(b), std::memory_order_relaxed);
    } else {
        const uint32_t want = depth.load(kRelaxed) / 2;
        if (want == 0 || !roomy(p, want + 1)) return lockfree_take(p, onset_flag, count_empty);
        SysMsg *got[kMaxDepth / 2 + 1];
        const uint32_t n = lockfree_take_many(p, got, want + 1, onset_flag, count_empty);
        if (n == 0) return nullptr;
        b = got[0];
        for (uint32_t i = n; i-- > 1;) {
            stamp_cached(got[i]);
            c.slots[p][c.count[p]++] = got[i];
        }
    }
    return b;
}

bool cache_put(int p, SysMsg *slot) noexcept {
    ThreadCache &c = current();
    const uint32_t d = depth.load(kRelaxed);
    if (d == 0 || !roomy(p, 0)) {
        // Every cached buffer counts: abate comes, and a waiting allocation finds them, only
        // once they are back.
        flush(c, p);
        return false;
    }
    uint32_t &n = c.count[p];
    if (n >= d) {
        // The oldest half goes; the newest, warm in this core's cache, stay.
        const uint32_t half = n - d / 2;
        for (uint32_t i = 0; i < half; ++i) c.slots[p][i]->relmem_pid = my_pid;
        const uint32_t went = lockfree_release_many(p, c.slots[p], half);
        std::memmove(c.slots[p], c.slots[p] + went, (n - went) * sizeof(SysMsg *));
        n -= went;
        if (n >= d) return false;
    }
    stamp_cached(slot);
    c.slots[p][n++] = slot;
    return true;
}

void flush_buffer_caches(int p) noexcept {
    if (!buffer_cache_used()) return;
    ThreadCache &c = current();
    if (p < 0)
        flush_all(c);
    else
        flush(c, p);
    generation.fetch_add(1);
}

void forget_buffer_caches() noexcept {
    std::memset(cache.count, 0, sizeof cache.count);
}

} // namespace pxr_impl

int PXR_set_buffer_cache(uint32_t d) noexcept {
    if (d > kMaxDepth) return -1;
    if (d != 0 && !used.exchange(true)) static ExitFlush at_exit;
    depth.store(d);
    return 0;
}

uint32_t PXR_get_buffer_cache(void) noexcept {
    return depth.load();
}
