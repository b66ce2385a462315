// Batches: many messages sent, received, allocated or released in one call.
//
// Every record of a batch means what the single call means: the same checks, stamps and
// failures, in the same order, so a batch call gives the result of a loop over the single
// calls that stops at the first failure. Over a ring queue a send batch costs one reservation
// for as many records as the ring has room; over kernel queues, and for the other calls, the
// batch is that loop (a receive takes each record through this thread's landing, which holds
// one reference, so that a reclaim always finds every record taken and not yet stamped).
#include "pxrlib.h"

#include "env/groups.h"
#include "env/pools.h"
#include "env/pxr_internal.h"
#include "env/ring_queues.h"
#include "env/sync_notes.h"

#include <cstddef>
#include <sys/msg.h>

namespace {

// Records checked and stamped at a time before they go out.
constexpr uint32_t kChunk = 64;

// Puts refs[0..count) into the queue qid (or its ring) with a send's retries: 0 or the errno;
// sent says how many went, in order.
int put_refs(uint32_t qid, const pxr_impl::ring::View &ring, const uint32_t *refs, uint32_t count,
             uint32_t &sent) noexcept {
    if (ring)
        return pxr_impl::put_retrying([&](bool &progress) {
            uint32_t went = 0;
            const int err = pxr_impl::ring_put_many(ring, refs + sent, count - sent, went);
            sent += went;
            progress = went != 0;
            return err;
        });
    return pxr_impl::put_retrying([&](bool &progress) {
        for (; sent < count; ++sent, progress = true) {
            pxr_impl::QueueRecord rec{};
            rec.mtype = 1;
            rec.index = uint16_t(pxr_impl::ref_index(refs[sent]));
            rec.partition = uint16_t(pxr_impl::ref_partition(refs[sent]));
            if (msgsnd(int(qid), &rec, pxr_impl::kRecordText, IPC_NOWAIT) != 0) return errno;
        }
        return 0;
    });
}

// Checks msgs[0..count) as a send does and stamps them sent, up to the first that is not an
// allocated buffer of an attached partition, or a shared one whose other shares are out; their
// references go to refs. How many.
uint32_t stamp_for_send(MSG *const *msgs, uint32_t count, uint32_t *refs) noexcept {
    uint32_t n = 0;
    for (; n < count; ++n) {
        const pxr_impl::MsgSlot m = pxr_impl::find_msg(msgs[n]);
        if (!pxr_impl::allocated(m) ||
            (pxr_impl::groups.area != nullptr && !pxr_impl::take_whole(m)))
            break;
        refs[n] = pxr_impl::stamp_sent(m);
    }
    return n;
}

// The records already waiting after the first, without waiting, into out[1..max).
uint32_t grab_more(uint32_t module, MSG **out, uint32_t max) noexcept {
    uint32_t n = 1;
    while (n < max && (out[n] = PXR_grab(module)) != nullptr) ++n;
    return n;
}

} // namespace

/// Checks msgs[0] and the destination as PXR_send does before anything goes; then sends in
/// order and stops at the first record that is refused or does not fit after the retries.
uint32_t PXR_send_batch(uint32_t dst, MSG *const *msgs, uint32_t count, int *result) noexcept {
    int ignored = 0;
    int &res = result != nullptr ? *result : ignored;
    res = 0;
    if (count == 0) return 0;
    res = -1;
    if (!pxr_impl::lazy_attach(2) || msgs == nullptr) return 0;
    if (pxr_impl::group_of(dst & 0xFF) != nullptr) {
        // A group: each record takes the single send's road, one share per member.
        uint32_t n = 0;
        while (n < count && (res = PXR_send(dst, msgs[n])) == 0) ++n;
        return n;
    }
    if (pxr_impl::shared(common_ptr->flags).load(std::memory_order_relaxed) & CA_NO_TRAFFIC) {
        res = 1;
        return 0;
    }
    if (!pxr_impl::allocated(pxr_impl::find_msg(msgs[0]))) return 0;
    const uint32_t qid = pxr_impl::destination_queue(dst);
    if (qid == PXR_NO_QUEUE) {
        res = pxr_impl::undefined_destination(dst);
        return 0;
    }
    const pxr_impl::ring::View ring = pxr_impl::ring_of_queue(dst & 0xFF, qid);
    uint32_t done = 0;
    while (done < count) {
        uint32_t refs[kChunk];
        const uint32_t want = count - done < kChunk ? count - done : kChunk;
        const uint32_t stamped = stamp_for_send(msgs + done, want, refs);
        uint32_t sent = 0;
        const int err = put_refs(qid, ring, refs, stamped, sent);
        done += sent;
        if (err != 0) {
            res = pxr_impl::send_failed(err);
            return done;
        }
        if (stamped < want) return done; // msgs[done] refused: res stays -1
    }
    res = 0;
    return done;
}

/// Waits for the first record as PXR_receive does, then takes those already waiting.
uint32_t PXR_receive_batch(uint32_t module, MSG **out, uint32_t max) noexcept {
    if (out == nullptr || max == 0 || (out[0] = PXR_receive(module)) == nullptr) return 0;
    return grab_more(module, out, max);
}

/// A time limit of 0 takes only what is waiting (after the spin window, if any).
uint32_t PXR_timed_receive_batch(uint32_t module, MSG **out, uint32_t max,
                                 uint32_t timeout_ms) noexcept {
    if (out == nullptr || max == 0 || (out[0] = PXR_timed_receive(module, timeout_ms)) == nullptr)
        return 0;
    return grab_more(module, out, max);
}

/// Not all-or-nothing: the buffers had are the caller's, and the one that could not be had
/// raised fatal event 2 as PXR_getmem does.
uint32_t PXR_getmem_batch(int32_t pool_class, uint32_t *size, MSG **out, uint32_t count) noexcept {
    if (size == nullptr || out == nullptr) return 0;
    const uint32_t wanted = *size;
    uint32_t param_size = wanted;
    bool ended = false;
    uint32_t got = pxr_impl::allocate_many(pool_class, &param_size, out, count, &ended);
    for (uint32_t asked = wanted; got < count && !ended; ++got, asked = wanted) {
        if ((out[got] = PXR_getmem(pool_class, &asked)) == nullptr) break;
        param_size = asked;
    }
    *size = param_size;
    return got;
}

uint32_t PXR_relmem_batch(int32_t pool_class, MSG *const *msgs, uint32_t count) noexcept {
    uint32_t done = msgs == nullptr ? 0 : pxr_impl::release_many(pool_class, msgs, count);
    while (msgs != nullptr && done < count && PXR_relmem(pool_class, msgs[done]) == 0) ++done;
    return done;
}
