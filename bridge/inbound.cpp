// The bridge's inbound side, on the NATS client's one delivery thread: frames for modules of
// this host are decoded, checked against their route and given to the modules; acknowledged
// routes are acknowledged by the acker thread a moment later. The keeper subscribes the
// local modules (follow).
//
//   state                               owner                     guarded by
//   stats->routes, stats->in_hand       delivery thread           that thread alone (take_over
//                                                                 writes them before it starts)
//   acks_due                            delivery thread, acker    ack_mu
//   subs, g_closures                    keeper (follow)           that thread alone
#include "bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace pxrbridge {

// Inbound: a frame (or a batch of them) for a module of this host.
void Bridge::deliver(unsigned subject_module, const natsMsg *nm) {
    static thread_local std::vector<std::span<const uint8_t>> parts;
    std::span<const uint8_t> data;
    if (!payload_of(nm, data)) return;
    if (closing()) return; // a detached process would wait to attach again
    Due due;               // an acknowledged route, acknowledged once for the whole batch
    if (frame_kind(data) != kKindBatch) {
        deliver_one(subject_module, data, due);
    } else if (split_batch(data, parts) != WireError::none) {
        count(malformed);
    } else {
        for (std::span<const uint8_t> part : parts) deliver_one(subject_module, part, due);
    }
    if (due.route != nullptr) acknowledge(*due.route, due.gap);
}

void Bridge::deliver_one(unsigned subject_module, std::span<const uint8_t> frame, Due &due) {
    WireMessage w;
    if (decode_message(frame, w) != WireError::none || w.dst != subject_module) {
        count(malformed);
        return;
    }
    if (w.flags & kMessageAcked) return deliver_acked(w, due);
    RouteSeq *r = w.epoch != 0 ? route_of(w.origin, w.dst) : nullptr;
    if (r != nullptr && r->epoch == 0 && !known_origin(w.origin)) return count(refused_origin);
    hand_over(w, r, false);
}

// An acknowledged frame goes to its module once, in its route's order: one that comes
// again is dropped, one ahead of a missing one waits until the sender sends again from the
// missing one on. One that finds no buffer or a full queue here is not acknowledged: it
// comes again. A frame cannot move the route on by itself: one whose oldest unacknowledged
// frame lies ahead of what was given here, or beyond a window from it, is refused, and so is
// a new epoch that does not begin a fresh window (nothing of it acknowledged yet).
void Bridge::deliver_acked(const WireMessage &w, Due &due) {
    RouteSeq *r = route_of(w.origin, w.dst);
    if (r == nullptr) return;                 // every slot taken: it waits for one
    const uint32_t oldest = w.seq - w.behind; // what the sender still holds
    const bool fresh = r->epoch != w.epoch;   // a new route, or a new window of its sender
    if (fresh && (r->epoch == 0 ? !known_origin(w.origin) : oldest != 1))
        return count(refused_origin);
    const uint32_t next = fresh ? oldest : r->next;
    if (int32_t(oldest - next) > 0 || int32_t(w.seq - next) >= int32_t(kWindowFrames))
        return count(refused_ahead);
    if (fresh) *r = RouteSeq{w.origin, w.dst, w.epoch, next};
    if (due.route != r) due = Due{r, false};
    if (w.seq != r->next) {
        if (int32_t(w.seq - r->next) < 0) count(duplicates);
        due.gap = due.gap || int32_t(w.seq - r->next) > 0;
        return;
    }
    hand_over(w, r, true);
}

// Whether frames of origin may open a route here: with discovery, only a node that has
// announced itself may.
bool Bridge::known_origin(uint32_t origin) {
    if (!cfg.discovery) return true;
    std::lock_guard lock(mu);
    return peers.contains(origin);
}

// Notes the acknowledgement a route is due; send_acks publishes it a moment later.
void Bridge::acknowledge(const RouteSeq &r, bool gap) {
    std::lock_guard lock(ack_mu);
    if (acks_due.empty()) ack_wake.notify_one();
    WireAck &a = acks_due[uint64_t(r.origin) << 8 | r.dst];
    const bool gap_noted = a.epoch == r.epoch && (a.flags & kAckGap) != 0;
    a = WireAck{node, r.epoch, r.next - 1, uint8_t(r.dst), uint8_t(gap || gap_noted ? kAckGap : 0)};
}

// Publishes the acknowledgements due, each kAckDelay after the first of them was noted.
void Bridge::send_acks() {
    std::vector<uint8_t> frame;
    std::unique_lock lock(ack_mu);
    while (!stopping || !acks_due.empty()) {
        if (acks_due.empty()) {
            ack_wake.wait_for(lock, kTick);
            continue;
        }
        lock.unlock();
        if (!stopping) std::this_thread::sleep_for(kAckDelay);
        lock.lock();
        const std::map<uint64_t, WireAck> due = std::exchange(acks_due, {});
        lock.unlock();
        for (const auto &[route, a] : due) {
            encode_ack(a, frame);
            const std::string subject = cfg.cluster + ".ack." + std::to_string(route >> 8);
            publish(subject, frame);
        }
        lock.lock();
    }
}

// Gives a message from afar to its local module and moves its route on (r may be null: a
// frame without a sequence), counting it delivered or the cause of its loss.
// An acknowledged frame (acked) that finds no buffer or a full queue is not counted and
// leaves its route where it was: it comes again.
void Bridge::hand_over(const WireMessage &w, RouteSeq *r, bool acked) {
    auto move_on = [&] {
        if (r == nullptr) return;
        if (acked)
            r->next = w.seq + 1;
        else
            note_sequence(*r, w.origin, w.dst, w.epoch, w.seq);
    };
    auto lost = [&](Counter c) {
        if (!acked || (c != lost_no_buffer && c != lost_send_failed)) {
            move_on();
            count(c);
        }
    };
    if (w.origin == node || !is_local(w.dst)) return lost(lost_unknown_module);
    const uint32_t len = uint32_t(w.param.size());
    int p = -1;
    for (int i = 0; i < 2 && p < 0; ++i)
        if (partition_hdr[i] != nullptr && len <= partition_hdr[i]->param_size) p = i;
    if (p < 0) return lost(lost_too_large);
    // An empty pool must not become a fatal event of this environment: a message from afar
    // is dropped instead, an acknowledged one after a short wait for a buffer (its module is
    // behind, and what is dropped here comes again with everything after it).
    uint32_t size = len;
    MSG *m = nullptr;
    for (int waited = 0; PXR_try_getmem(0, &size, &m) != 0; ++waited) {
        if (!acked || waited == kBufferWaitMs || closing()) return lost(lost_no_buffer);
        size = len;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m->type = w.type;
    m->id = w.id;
    m->reply_mask = w.reply_mask;
    m->len = uint16_t(len);
    m->src = w.src;
    m->dst = w.dst;
    m->msg_class = w.msg_class;
    m->status = w.status;
    m->info = w.info;
    m->instance = w.instance;
    if (len > 0) std::memcpy(m->param, w.param.data(), len);
    note_in_hand(m, r, w, acked);
    move_on();
    if (PXR_send(w.dst, m) != 0) {
        if (acked) r->next = w.seq;
        std::atomic_ref<uint32_t>(stats->in_hand.ref).store(0);
        release(m);
        return lost(lost_send_failed);
    }
    count(bytes_in, len);
    count(delivered);
    std::atomic_ref<uint32_t>(stats->in_hand.ref).store(0);
}

// Notes the message about to be sent to its module (see InHand), before its route moves.
void Bridge::note_in_hand(MSG *m, const RouteSeq *r, const WireMessage &w, bool acked) {
    uint32_t partition = 0, index = 0;
    msg_to_index(m, &partition, &index);
    InHand &h = stats->in_hand;
    h.route = r == nullptr ? 0 : uint32_t(r - stats->routes) + 1;
    h.origin = w.origin;
    h.dst = w.dst;
    h.epoch = w.epoch;
    h.seq = w.seq;
    h.acked = acked;
    h.delivered = stats->counters[delivered];
    std::atomic_ref<uint32_t>(h.ref).store(kept_ref(partition, index));
}

// Finishes the delivery a killed predecessor had in hand: its route is moved on if it was
// not yet; a buffer the predecessor still held (among left) was not sent and is sent now;
// one it no longer held was sent, and is counted. Returns the buffer's reference (+1) when
// it was among left, else 0.
uint32_t Bridge::settle_in_hand(const PXR_reclaimed_buffer *left, uint32_t n) {
    const InHand h = stats->in_hand;
    std::atomic_ref<uint32_t>(stats->in_hand.ref).store(0);
    if (h.ref == 0 || stats->counters[delivered] != h.delivered) return 0; // counted
    if (h.route != 0 && h.route <= kRouteSlots) {
        RouteSeq &r = stats->routes[h.route - 1];
        if (!h.acked)
            note_sequence(r, h.origin, h.dst, h.epoch, h.seq);
        else if (r.epoch == h.epoch && r.next == h.seq)
            r.next = h.seq + 1;
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (kept_ref(left[i].partition, left[i].index) != h.ref) continue;
        MSG *m = index_to_msg(int32_t(left[i].partition), left[i].index);
        if (m != nullptr && h.dst < PXR_MODULE_COUNT && PXR_send(h.dst, m) == 0) {
            count(delivered);
            return h.ref;
        }
        if (m != nullptr) release(m);
        if (!h.acked) {
            count(lost_send_failed);
        } else if (h.route != 0 && h.route <= kRouteSlots) { // it comes again
            RouteSeq &r = stats->routes[h.route - 1];
            if (r.epoch == h.epoch && r.next == h.seq + 1) r.next = h.seq;
        }
        return h.ref;
    }
    count(delivered);
    return 0;
}

// The slot of a route from another host: its own, or a free one (epoch 0); null when every
// slot is taken. Delivery thread only.
RouteSeq *Bridge::route_of(uint32_t origin, uint32_t dst) {
    const uint32_t h = (origin * 2654435761u) ^ (dst * 40503u);
    for (unsigned i = 0; i < kRouteSlots; ++i) {
        RouteSeq &slot = stats->routes[(h + i) % kRouteSlots];
        if (slot.epoch == 0 || (slot.origin == origin && slot.dst == dst)) return &slot;
    }
    return nullptr;
}

// Counts the frames that a gap in a route's sequence says were lost on the way. A route
// seen for the first time has no past; a new epoch (the sender started again) restarts
// its sequence at 1.
void Bridge::note_sequence(RouteSeq &r, uint32_t origin, uint32_t dst, uint32_t at, uint32_t seq) {
    if (r.epoch == 0) {
        r = RouteSeq{origin, dst, at, seq + 1};
        return;
    }
    if (r.epoch != at) {
        r.epoch = at;
        r.next = 1;
    }
    const int32_t gap = int32_t(seq - r.next);
    if (gap > 0) count(lost_in_transit, uint64_t(gap));
    if (gap >= 0) r.next = seq + 1; // an older frame (gap < 0) changes nothing
}

namespace {

// What a subscription's callback needs: the bridge and the module whose subject it is.
struct FrameClosure {
    Bridge *bridge;
    unsigned module;
};
FrameClosure g_closures[PXR_MODULE_COUNT];

} // namespace

void Bridge::on_frame(natsConnection *, natsSubscription *, natsMsg *nm, void *closure) {
    auto *c = static_cast<FrameClosure *>(closure);
    c->bridge->deliver(c->module, nm);
    natsMsg_Destroy(nm);
}

void Bridge::follow(const ModuleSet &local) {
    for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m) {
        if (local[m] && subs[m] == nullptr) {
            g_closures[m] = {this, m};
            if (natsConnection_Subscribe(&subs[m], nc, subjects[m].c_str(), on_frame,
                                         &g_closures[m]) == NATS_OK)
                natsSubscription_SetPendingLimits(subs[m], 1 << 20, 1 << 30);
            else
                subs[m] = nullptr;
        } else if (!local[m] && subs[m] != nullptr) {
            natsSubscription_Unsubscribe(subs[m]);
            natsSubscription_Destroy(subs[m]);
            subs[m] = nullptr;
        }
    }
}

} // namespace pxrbridge
