// Waiting for room: the allocation and the send that wait with a time limit instead of
// failing, and the room words they sleep on (see flow.h).
#include "env/flow.h"

#include "env/futex.h"
#include "env/pools.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <unistd.h>

namespace pxr_impl {

namespace {

uint32_t now_ms() noexcept {
    return uint32_t(monotonic_ns() / 1000000u);
}

// Registrations compare as times modulo 2^32 ms: one slice ahead of now at most.
bool later(uint32_t a, uint32_t b) noexcept {
    return int32_t(a - b) > 0;
}

} // namespace

uint64_t monotonic_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

RoomWord *queue_room(uint32_t qid) noexcept {
    ExtensionSegment *x = attachment.extension;
    return x != nullptr ? &x->queue_room[qid % kRoomQueues] : nullptr;
}

RoomWord *pool_room(int partition) noexcept {
    ExtensionSegment *x = attachment.extension;
    return x != nullptr && partition >= 0 && partition < kPartitions ? &x->pool_room[partition]
                                                                     : nullptr;
}

void wake_room(RoomWord &w) noexcept {
    auto expiry = shared(w.expiry_ms);
    uint32_t e = expiry.load();
    if (e == 0) return;
    // A registration that ran out belongs to a waiter that would have re-registered by now
    // (or died): cleared, unless a waiter renewed it meanwhile.
    if (later(now_ms(), e)) {
        expiry.compare_exchange_strong(e, 0);
        return;
    }
    shared(w.seq).fetch_add(1);
    futex_wake(&w.seq, INT_MAX);
}

uint32_t arm_room(RoomWord *w) noexcept {
    if (w == nullptr) return 0;
    uint32_t want = now_ms() + kRoomSliceMs + 1;
    if (want == 0) want = 1;
    auto expiry = shared(w->expiry_ms);
    uint32_t e = expiry.load();
    // Raise, never lower, another waiter's registration.
    while ((e == 0 || later(want, e)) && !expiry.compare_exchange_weak(e, want)) {
    }
    return shared(w->seq).load();
}

void sleep_room(RoomWord *w, uint32_t seen, uint64_t deadline_ns) noexcept {
    const uint64_t now = monotonic_ns();
    if (now >= deadline_ns) return;
    uint64_t ns = deadline_ns - now;
    if (w == nullptr) {
        // No extension area: nothing can wake the caller, so it looks again after a nap.
        ns = std::min<uint64_t>(ns, 1000000u);
        const timespec ts{0, long(ns)};
        nanosleep(&ts, nullptr);
        return;
    }
    futex_wait(&w->seq, seen, std::min<uint64_t>(ns, uint64_t(kRoomSliceMs) * 1000000u));
}

} // namespace pxr_impl

/// A size that no partition holds answers 1 at once: no release can make room for it. A call
/// whose first look finds the partition empty counts once in its out_of_msg, however often it
/// looks again, so the count says how many allocations had to wait, in both pool forms.
int PXR_timed_getmem(int32_t pool_class, uint32_t *size, MSG **out, uint32_t timeout_ms) noexcept {
    if (out == nullptr) return -1;
    *out = nullptr;
    const uint64_t deadline = pxr_impl::deadline_after(timeout_ms);
    pxr_impl::RoomWord *word = nullptr;
    bool first = true;
    return pxr_impl::wait_for_room(word, deadline, 1, [&]() noexcept {
        pxr_impl::NoBuffer why;
        *out = pxr_impl::allocate(pool_class, size, &why, first);
        first = false;
        if (why == pxr_impl::NoBuffer::none) return 0;
        if (why == pxr_impl::NoBuffer::refused || common_ptr == nullptr) return -1;
        const int p = pxr_impl::choose_partition(*size);
        if (p < 0) return 1;
        word = pxr_impl::pool_room(p);
        return pxr_impl::kFull;
    });
}
