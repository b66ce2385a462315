// The bridge's outbound side, on the main thread: messages from the bridge's queue for remote
// modules are encoded into a batch per destination and published, or held while their route
// is still being learnt, in their route's order. At the start, before the other threads run, it
// finishes what a killed predecessor left (take_over).
//
//   state                               owner                    guarded by
//   out_batch, batch_*, last_seq        main thread              that thread alone
//   held, held_bytes, held_for          main thread              that thread alone
//   stats->unsent                       main thread              atomic word (read by the next
//                                                                bridge after a kill)
#include "bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace pxrbridge {

// Whether a message for dst may go now: connected, and (while discovery is still
// learning) the module claimed by a host. Messages behind a held one wait too, in order.
bool Bridge::route_ready(unsigned dst) {
    if (!connected()) return false;
    if (!cfg.discovery || !learning) return true;
    std::lock_guard lock(mu);
    return claimed[dst];
}

// One message from the bridge's queue, for the host that has its module.
void Bridge::forward(MSG *m) {
    const unsigned dst = m->dst;
    if (dst >= PXR_MODULE_COUNT || !is_remote(dst)) {
        count(lost_unknown_module);
    } else if (m->len > PXR_parameter_size(m)) {
        count(malformed);
    } else {
        WireMessage w{
            node,      m->type, m->id,       m->src, m->dst, m->reply_mask,     m->msg_class,
            m->status, m->info, m->instance, 0,      0,      {m->param, m->len}};
        // Behind a held message of its route a message waits too, so that a route's
        // messages leave in the order they came.
        if (held_for[dst] > 0 || (learning && !(route_ready(dst) && ready())))
            hold(w);
        else
            publish_later(w);
    }
    note_unsent();
    release(m); // what goes on was copied: the buffer goes back before the network
}

// The buffers the bridge before this one held when it was killed (the loader leaves them
// to it). The delivery it had in hand is finished; a message it had taken from its queue, or
// from an acknowledged module's queue, and not yet copied goes on now, before anything the
// queues still hold; what it had copied and not yet published is counted; the rest of its
// buffers go back to the pools. Then the loader may look for other dead processes' buffers
// again.
void Bridge::take_over() {
    const uint32_t unsent = std::exchange(stats->unsent, 0);
    if (predecessor > 0 && predecessor != getpid() && PXR_process_gone(predecessor) == 1) {
        constexpr uint32_t kLeft = 16; // one per thread that takes or delivers, and spare
        PXR_reclaimed_buffer left[kLeft];
        PXR_reclaim_stats st{};
        uint32_t n = 0;
        if (PXR_reclaim_buffers(predecessor, PXR_RECLAIM_DRY_RUN, &st, left, kLeft) == 0)
            n = std::min(st.returned, kLeft);
        const uint32_t in_hand = settle_in_hand(left, n);
        for (uint32_t i = 0; i < n; ++i)
            if (kept_ref(left[i].partition, left[i].index) != in_hand) take_back(left[i]);
        count(lost_bridge_killed, unsent);
        PXR_reclaim_buffers(predecessor, 0, &st, nullptr, 0);
        if (st.returned != 0)
            std::fprintf(stderr, "pxr-bridge: %u buffers the bridge before held returned\n",
                         st.returned);
    }
    std::atomic_ref<uint32_t>(stats->in_hand.ref).store(0);
    std::atomic_ref<uint32_t>(stats->took_over).store(1);
}

void Bridge::take_back(const PXR_reclaimed_buffer &b) {
    const SysMsg *slot = index_to_partition_sysmsg(int32_t(b.partition), b.index);
    MSG *m = index_to_msg(int32_t(b.partition), b.index);
    // Only a buffer that came through a queue: one the bridge allocated holds no message.
    if (slot == nullptr || m == nullptr || slot->send_pid == 0 || m->dst >= PXR_MODULE_COUNT)
        return;
    AckedRoute *r = acked_of[m->dst];
    if (r == nullptr) {
        if (!is_remote(m->dst)) return;
        std::fprintf(stderr, "pxr-bridge: took back a message for 0x%x\n", unsigned(m->dst));
        return forward(m);
    }
    if (!window_room(*r->w, kLargestFrame)) return;
    const uint32_t ref = kept_ref(b.partition, b.index);
    if (r->w->keeping == ref && r->w->next != r->w->keeping_seq) return; // kept already
    keep(*r, m);
    r->resend_at = Clock::now(); // it goes with the first resend
    std::fprintf(stderr, "pxr-bridge: took back a message for 0x%x that the bridge before held\n",
                 r->module);
}

// Keeps a message until its route is known. A full hold sends its oldest on first (or
// counts it lost without a connection): what leaves early leaves in order.
void Bridge::hold(const WireMessage &w) {
    while (!held.empty() && (held.size() >= kHoldMax || held_bytes + w.param.size() > kHoldBytes))
        send_held(held.begin());
    held.push_back(Held{w, {w.param.begin(), w.param.end()}, started + kHoldFor});
    ++held_for[w.dst];
    held_bytes += w.param.size();
}

std::deque<Bridge::Held>::iterator Bridge::send_held(std::deque<Bridge::Held>::iterator it) {
    it->w.param = it->param;
    publish_later(it->w);
    --held_for[it->w.dst];
    held_bytes -= it->param.size();
    return held.erase(it);
}

// Sends on the messages whose route is known now, or whose wait is over; a message whose
// route still waits holds back the later ones of that route.
void Bridge::drain_held() {
    const auto now = Clock::now();
    uint16_t waiting[PXR_MODULE_COUNT] = {};
    for (auto it = held.begin(); it != held.end();) {
        const unsigned dst = it->w.dst;
        if (waiting[dst] > 0 || (now < it->until && !(route_ready(dst) && ready()))) {
            ++waiting[dst];
            ++it;
            continue;
        }
        it = send_held(it);
    }
    note_unsent();
}

// What the main thread has taken from the queue and not yet published, for a successor
// to count if this bridge is killed (lost_bridge_killed).
void Bridge::note_unsent() {
    std::atomic_ref<uint32_t>(stats->unsent).store(uint32_t(held.size() + batch_count));
}

// Adds a message to the outgoing batch, numbered on its route.
void Bridge::publish_later(WireMessage &w) {
    const unsigned dst = w.dst;
    if (!connected()) return count(lost_no_connection);
    // Encoded straight into the batch rather than into a frame first: one copy fewer.
    if (batch_count > 0 &&
        (dst != batch_dst || batch_count == kBatchMax ||
         out_batch.size() + 4 + kMessageHeaderBytes + w.param.size() > kBatchBytes))
        flush();
    if (batch_count == 0) start_batch(out_batch, node);
    w.epoch = epoch;
    w.seq = ++last_seq[dst];
    append_message_to_batch(out_batch, w);
    batch_dst = dst;
    ++batch_count;
    batch_bytes += w.param.size();
}

// Publishes what forward gathered: a lone frame as it is, several as a batch.
void Bridge::flush() {
    if (batch_count == 0) return;
    std::span<const uint8_t> out(out_batch);
    if (batch_count == 1)
        out = out.subspan(kBatchHeaderBytes + 4);
    else
        finish_batch(out_batch, uint16_t(batch_count));
    // The batch leaves the unsent ones before its write: a kill lands at the end of a system
    // call, and the one after this write must not count a batch that went as lost.
    std::atomic_ref<uint32_t>(stats->unsent).store(uint32_t(held.size()));
    if (publish(subjects[batch_dst], out) == NATS_OK) {
        count(forwarded, batch_count);
        count(bytes_out, batch_bytes);
    } else {
        count(lost_no_connection, batch_count);
        last_seq[batch_dst] -= batch_count; // counted here: not a gap over there
    }
    batch_count = 0;
    batch_bytes = 0;
    note_unsent();
}

} // namespace pxrbridge
