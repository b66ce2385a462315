// The acknowledged mode's sending side: a taker thread per acknowledged module moves its queue
// into the module's send window and publishes; the resender probes windows whose
// acknowledgement is overdue; on_ack, on the client's delivery thread, lets the window go or
// answers a reported gap.
//
//   state                                    owner                          guarded by
//   AckedRoute::w (the window)               taker, resender, on_ack        AckedRoute::mu
//   resend_at, gap_ok, backoff               resender, on_ack, taker        AckedRoute::mu
//   frame, batch (encoding buffers)          whoever holds AckedRoute::mu   AckedRoute::mu
//   done                                     taker                          atomic
//   resend_all                               reconnect callback, resender   atomic
#include "bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace pxrbridge {

// Takes the messages of an acknowledged module's queue while its window has room: each is
// kept in the window and published at once (what waits in the queue goes along in a
// batch). The frames stay until the far side acknowledges them.
void Bridge::take_acked(AckedRoute &r) {
    while (!stopping) {
        {
            std::unique_lock lock(r.mu);
            if (!r.room.wait_for(lock, kTick,
                                 [&] { return stopping || window_room(*r.w, kLargestFrame); }))
                continue;
        }
        MSG *m = stopping ? nullptr : PXR_receive(r.module);
        if (m == nullptr) {
            if (closing()) break;
            continue;
        }
        std::lock_guard lock(r.mu);
        const uint32_t first = r.w->next;
        std::size_t bytes = 0;
        do {
            bytes += keep(r, m);
        } while (r.w->next - first < kBatchMax && bytes < kBatchBytes &&
                 window_room(*r.w, kLargestFrame) && (m = PXR_grab(r.module)) != nullptr);
        if (r.resend_at == Clock::time_point::max()) r.resend_at = Clock::now() + kResendAfter;
        send_frames(r, first, r.w->next, false);
    }
    r.done = true;
}

// Encodes a message into the window and releases its buffer: from here on the window
// holds it. The frame's bytes (0 for a message refused).
std::size_t Bridge::keep(AckedRoute &r, MSG *m) {
    std::size_t bytes = 0;
    uint32_t partition = 0, index = 0;
    msg_to_index(m, &partition, &index);
    r.w->keeping_seq = r.w->next;
    std::atomic_ref<uint32_t>(r.w->keeping).store(kept_ref(partition, index));
    if (m->len > PXR_parameter_size(m)) {
        count(malformed);
    } else {
        const WireMessage w{node,
                            m->type,
                            m->id,
                            m->src,
                            uint8_t(r.module),
                            m->reply_mask,
                            m->msg_class,
                            m->status,
                            m->info,
                            m->instance,
                            r.w->epoch,
                            r.w->next,
                            {m->param, m->len},
                            kMessageAcked,
                            uint16_t(window_pending(*r.w))};
        encode_message(w, r.frame);
        window_push(*r.w, r.frame);
        bytes = r.frame.size();
        count(forwarded);
        count(bytes_out, m->len);
    }
    release(m);
    std::atomic_ref<uint32_t>(r.w->keeping).store(0);
    return bytes;
}

// Publishes the window's frames from .. to - 1: a lone one straight from the window,
// several as batches. A publish that fails is mended by the resend. Caller holds r.mu.
void Bridge::send_frames(AckedRoute &r, uint32_t from, uint32_t to, bool again) {
    while (from != to) {
        uint32_t n = 1;
        std::size_t bytes = window_frame(*r.w, from).size();
        while (from + n != to && n < kBatchMax &&
               bytes + window_frame(*r.w, from + n).size() <= kBatchBytes)
            bytes += window_frame(*r.w, from + n++).size();
        std::span<const uint8_t> out = window_frame(*r.w, from);
        if (n > 1) {
            start_batch(r.batch, node);
            for (uint32_t i = 0; i < n; ++i) append_to_batch(r.batch, window_frame(*r.w, from + i));
            finish_batch(r.batch, uint16_t(n));
            out = r.batch;
        }
        publish(subjects[r.module], out);
        if (again) count(resent, n);
        from += n;
    }
}

// Probes every window whose acknowledgement is overdue (all of them after a reconnect):
// its newest frame goes again. The far side's acknowledgement of it lets the window go if
// only acknowledgements were lost, or reports the gap if frames were (on_ack); a stopped
// peer costs a probe per back-off interval.
void Bridge::resend_overdue() {
    while (!stopping) {
        std::this_thread::sleep_for(kResendTick);
        const bool all = resend_all.exchange(false);
        const auto now = Clock::now();
        for (const auto &r : acked_routes) {
            std::lock_guard lock(r->mu);
            if (window_pending(*r->w) == 0 || !connected() || (now < r->resend_at && !all))
                continue;
            send_frames(*r, r->w->next - 1, r->w->next, true);
            r->resend_at = now + r->backoff;
            r->backoff = std::min<Clock::duration>(r->backoff * 2, kResendMax);
        }
    }
}

// An acknowledgement from the far side: the window lets go of what it covers. One that
// reports a gap has what waits sent again, from the oldest on (the far side takes a route's
// frames only in order), at most once per kResendAfter: the gaps reported meanwhile are
// mostly of frames the resend already carries.
void Bridge::on_ack(const natsMsg *nm) {
    std::span<const uint8_t> frame;
    if (!payload_of(nm, frame)) return;
    WireAck a;
    if (decode_ack(frame, a) != WireError::none) return count(malformed);
    AckedRoute *r = acked_of[a.dst];
    if (r == nullptr) return;
    std::lock_guard lock(r->mu);
    if (a.epoch != r->w->epoch) return;
    const auto now = Clock::now();
    if (window_ack(*r->w, a.seq) != 0) {
        r->backoff = kResendAfter;
        r->resend_at = window_pending(*r->w) != 0 ? now + kResendAfter : Clock::time_point::max();
        r->room.notify_one();
    }
    if ((a.flags & kAckGap) != 0 && window_pending(*r->w) != 0 && now >= r->gap_ok) {
        send_frames(*r, r->w->acked + 1, r->w->next, true);
        r->gap_ok = now + kResendAfter;
        r->resend_at = now + kResendAfter;
    }
}

void Bridge::on_ack_frame(natsConnection *, natsSubscription *, natsMsg *nm, void *c) {
    static_cast<Bridge *>(c)->on_ack(nm);
    natsMsg_Destroy(nm);
}

// The windows of the acknowledged modules, with what a predecessor left in them: sent
// again as soon as there is a connection.
bool Bridge::open_windows() {
    for (uint32_t m : cfg.acked)
        if ((load(area->module_queues[m].queue_flags) & 1) == 0) {
            std::fprintf(stderr, "pxr-bridge: acknowledged module 0x%x has no queue\n", m);
            return false;
        }
    windows_segment = pxrtool::Segment::publish(kWindowsKey, windows_bytes(cfg.acked.size()), 0600);
    if (!windows_segment) {
        std::fprintf(stderr, "pxr-bridge: cannot make the window segment\n");
        return false;
    }
    for (Window *w : adopt_windows(windows_segment.writable(), area_id, cfg.acked)) {
        auto r = std::make_unique<AckedRoute>();
        r->module = w->module;
        r->w = w;
        if (window_pending(*w) != 0) r->resend_at = Clock::now();
        acked_of[w->module] = r.get();
        acked_routes.push_back(std::move(r));
    }
    return true;
}

} // namespace pxrbridge
