// Per-thread caches of lock-free pool buffers (PXR_set_buffer_cache). A cached buffer stays
// marked allocated and counted in alloc_count, stamped as allocated by its process and never
// sent (so a reclaim charges it to that process), with kCachedMark in its next word (so a send
// or a second release refuses it). Only its thread reaches it until it leaves the cache.
#pragma once

#include "pxrlib.h"

#include <cstdint>

namespace pxr_impl {

// Whether any thread of this process may hold a cached buffer: false until the cache is first
// turned on, so a process that never turns it on takes its path not at all.
bool buffer_cache_used() noexcept;

// A buffer of partition p for the calling thread: from its cache, or a refill of half a cache
// from the list, or (cache off, the partition half allocated or congested) a single take.
// onset_flag and count_empty as for lockfree_take. Null when the pool has none.
SysMsg *cache_take(int p, uint32_t *onset_flag, bool count_empty) noexcept;

// Puts a buffer its user releases into the calling thread's cache, spilling half a full
// cache to the list first. False when it belongs on the list now (cache off, partition
// congested: the thread's cache of p has then gone back already); the caller releases it.
bool cache_put(int p, SysMsg *slot) noexcept;

// The calling thread's caches go back to the list (before partition p is detached, or both
// with p = -1); every other thread's caches are forgotten: their buffers stay allocated to
// this process.
void flush_buffer_caches(int p) noexcept;

// A forked child's copy of the forking thread's caches names its parent's buffers: dropped.
void forget_buffer_caches() noexcept;

} // namespace pxr_impl
