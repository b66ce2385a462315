// Waiting for room: a sender whose destination queue is full and an allocation whose partition
// has no free buffer sleep on a futex word in the extension area until a receive or a release
// makes room. Whoever makes room pays for the wake-up only while somebody waits.
//
// Why no wake-up is lost. A waiter registers (expiry_ms, a compare-and-swap), reads seq, then
// tries again (a queue's put, a pool's take), and sleeps only while seq still holds what it
// read. A receive or release first frees its room (a compare-and-swap or a system call), then
// reads expiry_ms. If that read comes before the registration, the waiter's retry comes after
// the room was made and finds it; otherwise the waker raises seq and wakes, and the kernel
// refuses a sleep on a word that moved. Every sleep carries a time-out of at most one slice
// (kRoomSliceMs) and never past the caller's deadline: a word another process overwrote, a
// waker killed between its two steps or room made by a tool costs at most one slice of
// lateness, never an unbounded wait. A registration lasts one slice, so a waiter that died
// costs the wakers of its word at most that long.
#pragma once

#include "env/pxr_internal.h"

#include <cstdint>

namespace pxr_impl {

inline constexpr uint32_t kRoomSliceMs = 50;

// The room word of a module queue (by its queue id) and of a partition; null without an
// extension area (the waits then nap a millisecond at a time).
RoomWord *queue_room(uint32_t qid) noexcept;
RoomWord *pool_room(int partition) noexcept;

// Wakes the waiters on w when any registered and its registration has not run out.
void wake_room(RoomWord &w) noexcept;
// The hook of every receive and release: one load while nobody waits, no system call.
inline void room_made(RoomWord *w) noexcept {
    if (w != nullptr && std::atomic_ref<uint32_t>(w->expiry_ms).load() != 0) wake_room(*w);
}

uint64_t monotonic_ns() noexcept;
inline uint64_t deadline_after(uint32_t timeout_ms) noexcept {
    return monotonic_ns() + uint64_t(timeout_ms) * 1000000u;
}

// Registers the caller as a waiter on w for the next slice; the seq word as read after it.
uint32_t arm_room(RoomWord *w) noexcept;
// Sleeps until w's seq moves from seen, a signal, the slice ends or deadline_ns passes.
void sleep_room(RoomWord *w, uint32_t seen, uint64_t deadline_ns) noexcept;

// The waiting loop both waits share: attempt() returns kFull while there is no room (the
// caller then sleeps on w) and anything else to end the wait with that value. kFull is turned
// into timed_out once the deadline has passed; the first attempt is always made. An attempt
// may name the word it waits on (w is read after each one): one that moves to another word
// looks again at once, registered on the new word, since only the word registered on before
// the look may be slept on.
inline constexpr int kFull = 0x7FFF0001;
template <class Attempt>
int wait_for_room(RoomWord *const &w, uint64_t deadline_ns, int timed_out, Attempt &&attempt) {
    int rc = attempt();
    // One look per wake-up: each look after the first comes after the registration it needs.
    while (rc == kFull) {
        if (monotonic_ns() >= deadline_ns) return timed_out;
        RoomWord *const armed = w;
        const uint32_t seen = arm_room(armed);
        rc = attempt();
        if (rc == kFull && w == armed) sleep_room(armed, seen, deadline_ns);
    }
    return rc;
}

} // namespace pxr_impl
