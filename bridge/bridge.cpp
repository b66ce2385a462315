// pxr-bridge: carries the messages of modules that live on other hosts over NATS.
//
// Remote module ids are, in the local module table, aliases of the bridge's own queue. The
// main thread receives from that queue, publishes the MSG header and its `len` parameter
// bytes on CLUSTER.m.<dst> and releases the buffer at once. For every module that receives
// on this host the bridge subscribes CLUSTER.m.<id>; the client's thread decodes a frame,
// takes a buffer, fills it and sends it to the module. Announcements on CLUSTER.announce
// carry each host's modules; the others become remote here unless two hosts claim one.
//
// Delivery is at most once: core NATS keeps nothing for an absent subscriber, and whatever
// cannot be delivered is released and counted by cause, never retried. Each route (sending
// node, destination module) numbers its frames, so what NATS drops shows on the receiving
// side as a gap (lost_in_transit); the sender counts only what it could not hand to NATS.
//
// A remote module configured `acked` goes acknowledged instead: it has a queue of its own, a
// thread takes from it into the module's send window (shared memory that outlives the
// bridge, window.h) and publishes; the far bridge gives each frame to its module once and in
// order, remembering per route what it gave (in its counter segment, which outlives it too),
// and acknowledges on CLUSTER.ack.<node>. What is not acknowledged in time is sent again from
// the oldest on. A full window stops the taking, so the module's senders meet a full queue.
//
// Identity: the node id is derived from the cluster, the node name, the bridge module and the
// host, so a restarted bridge is the same node to its peers and keeps their routes. Its epoch,
// drawn at each start, tells the peers that its sequences begin again.
//
// Start: the bridge says it is ready (in its counter segment, which the loader watches before
// it starts the other processes) once it is connected, its subscriptions are at the server and
// the other hosts have had time to announce their modules. Until then, and for at most
// kHoldFor after its start, a message for a remote module that no host has claimed yet (or any
// message while there is no connection) waits in the bridge instead of being dropped.
#include "bridge_stats.h"
#include "window.h"
#include "wire.h"

#include "config_bridge.h"
#include "pxrlib.h"
#include "view.h"

#include <nats/nats.h>

#include <atomic>
#include <bitset>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <pthread.h>
#include <string>
#include <sys/shm.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace pxrbridge {

namespace {

using Clock = std::chrono::steady_clock;
using ModuleSet = std::bitset<PXR_MODULE_COUNT>;

constexpr auto kTick = std::chrono::milliseconds(200);
constexpr auto kAnnounceEvery = std::chrono::seconds(2);
constexpr auto kPeerExpiry = std::chrono::seconds(7);
constexpr auto kAnswerWindow = std::chrono::milliseconds(1000); // for the peers' announcements
constexpr auto kHoldFor = std::chrono::seconds(2);
constexpr std::size_t kHoldMax = 512;        // messages waiting for their route, at most
constexpr std::size_t kHoldBytes = 4u << 20; // and their parameter bytes
// No acknowledgement this long: the oldest frame is sent again, as a probe whose
// acknowledgement tells where the far side is; without an answer the wait doubles up to
// kResendMax, so a stopped peer costs a probe now and then, not the window again and again.
constexpr auto kResendAfter = std::chrono::milliseconds(250);
constexpr auto kResendMax = std::chrono::milliseconds(2000);
constexpr auto kResendTick = std::chrono::milliseconds(50);
constexpr int kBufferWaitMs = 50; // an acknowledged frame's wait for a buffer here
// An acknowledgement waits this long, so that one covers whatever else of its route comes
// meanwhile, and none is written between a request and its answer.
constexpr auto kAckDelay = std::chrono::milliseconds(1);

std::string connect_failure(natsStatus s, const char *text, const pxrtool::BridgeConfig &cfg);

volatile sig_atomic_t g_stop = 0;
void on_stop(int) {
    g_stop = 1;
}
void on_wake(int) {} // ends a taker's wait in its queue

struct Peer {
    std::string name;
    ModuleSet modules;
    Clock::time_point seen;
};

struct Bridge {
    pxrtool::BridgeConfig cfg;
    CommonArea *area = nullptr;
    int area_id = -1;
    pxrtool::Segment stats_segment;
    Stats *stats = nullptr;
    uint32_t node = 0;
    uint32_t epoch = 0;      // drawn at each start, never 0
    int32_t predecessor = 0; // the bridge this one follows in this environment
    std::string diagnosis;   // why the first connection failed; the client's retries only say
                             // that no server was available
    std::string node_name;
    natsConnection *nc = nullptr;
    std::string subjects[PXR_MODULE_COUNT];
    std::string announce_subject;
    natsSubscription *subs[PXR_MODULE_COUNT] = {};
    std::atomic<bool> ask_pending{true}, announce_now{true}, stopping{false}, resend_all{false};

    // An acknowledged remote module: its window, the thread that takes from its queue, and when
    // its frames are sent again.
    struct AckedRoute {
        unsigned module = 0;
        Window *w = nullptr;
        std::mutex mu;                // guards the window, the times below and the buffers
        std::condition_variable room; // the window has room again, or the bridge stops
        Clock::time_point resend_at = Clock::time_point::max(); // the next probe
        Clock::time_point gap_ok{}; // a reported gap is answered from then on
        Clock::duration backoff = kResendAfter;
        std::vector<uint8_t> frame, batch;
        std::thread taker;
        std::atomic<bool> done{false};
    };
    static constexpr std::size_t kLargestFrame = kMessageHeaderBytes + 0xFFFF;
    pxrtool::Segment windows_segment;
    std::vector<std::unique_ptr<AckedRoute>> acked_routes;
    AckedRoute *acked_of[PXR_MODULE_COUNT] = {};
    // Acknowledgements to publish, by route (origin node << 8 | module): the latest of each.
    std::mutex ack_mu;
    std::condition_variable ack_wake;
    std::map<uint64_t, WireAck> acks_due;

    std::mutex mu; // guards what follows
    std::map<uint32_t, Peer> peers;
    ModuleSet discovered, clash_reported, static_remote, claimed;
    bool twin_reported = false;
    Clock::time_point started = Clock::now();
    std::atomic<bool> learning{true}; // until kHoldFor after the start: messages may wait

    void count(Counter c, uint64_t n = 1) {
        std::atomic_ref<uint64_t>(stats->counters[c]).fetch_add(n, std::memory_order_relaxed);
    }
    uint32_t load(const uint32_t &w) const {
        return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(w)).load();
    }
    uint32_t bridge_queue() const { return load(area->module_queues[cfg.module].msqid); }
    // A module whose messages go to another host: an alias of the bridge's queue, or an
    // acknowledged module (whose own queue the bridge takes from).
    bool is_remote(unsigned m) const {
        const ModuleQueueEntry &e = area->module_queues[m];
        return acked_of[m] != nullptr || (m != cfg.module && (load(e.queue_flags) & 1) == 0 &&
                                          load(e.msqid) == bridge_queue());
    }
    // A module that a process of this host receives: an own queue, or an alias of one.
    bool is_local(unsigned m) const {
        const ModuleQueueEntry &e = area->module_queues[m];
        uint32_t q = load(e.msqid);
        return m != cfg.module && acked_of[m] == nullptr && q != PXR_NO_QUEUE &&
               q != bridge_queue();
    }
    ModuleSet local_set() const {
        ModuleSet s;
        for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m) s[m] = is_local(m);
        return s;
    }
    bool closing() const { return (load(area->flags) & CA_CLOSING) != 0 || PXR_sys_failure; }
    bool connected() const {
        return nc != nullptr && natsConnection_Status(nc) == NATS_CONN_STATUS_CONNECTED;
    }

    // Outbound, main thread only: frames for one destination that wait to be published
    // together, as one batch when there are several (one write instead of many).
    static constexpr unsigned kBatchMax = 64;
    static constexpr std::size_t kBatchBytes = std::size_t{32} * 1024;
    std::vector<uint8_t> out_batch;
    unsigned batch_dst = 0, batch_count = 0;
    uint64_t batch_bytes = 0;
    uint32_t last_seq[PXR_MODULE_COUNT] = {}; // the sequence sent last, per destination

    // Messages whose route is still being learnt, in arrival order (main thread only).
    struct Held {
        WireMessage w;
        std::vector<uint8_t> param;
        Clock::time_point until;
    };
    std::deque<Held> held;
    std::size_t held_bytes = 0;
    uint16_t held_for[PXR_MODULE_COUNT] = {};

    // Whether a message for dst may go now: connected, and (while discovery is still
    // learning) the module claimed by a host. Messages behind a held one wait too, in order.
    bool route_ready(unsigned dst) {
        if (!connected()) return false;
        if (!cfg.discovery || !learning) return true;
        std::lock_guard lock(mu);
        return claimed[dst];
    }

    // One message from the bridge's queue, for the host that has its module.
    void forward(MSG *m) {
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

    bool ready() const { return load(stats->ready) != 0; }

    // Takes the messages of an acknowledged module's queue while its window has room: each is
    // kept in the window and published at once (what waits in the queue goes along in a
    // batch). The frames stay until the far side acknowledges them.
    void take_acked(AckedRoute &r) {
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
    std::size_t keep(AckedRoute &r, MSG *m) {
        std::size_t bytes = 0;
        uint32_t partition = 0, index = 0;
        msg_to_index(m, &partition, &index);
        r.w->keeping_seq = r.w->next;
        std::atomic_ref<uint32_t>(r.w->keeping).store((partition << 16 | index) + 1);
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
    void send_frames(AckedRoute &r, uint32_t from, uint32_t to, bool again) {
        while (from != to) {
            uint32_t n = 1;
            std::size_t bytes = window_frame(*r.w, from).size();
            while (from + n != to && n < kBatchMax &&
                   bytes + window_frame(*r.w, from + n).size() <= kBatchBytes)
                bytes += window_frame(*r.w, from + n++).size();
            std::span<const uint8_t> out = window_frame(*r.w, from);
            if (n > 1) {
                start_batch(r.batch, node);
                for (uint32_t i = 0; i < n; ++i)
                    append_to_batch(r.batch, window_frame(*r.w, from + i));
                finish_batch(r.batch, uint16_t(n));
                out = r.batch;
            }
            natsConnection_Publish(nc, subjects[r.module].c_str(), out.data(), int(out.size()));
            if (again) count(resent, n);
            from += n;
        }
    }

    // Probes every window whose acknowledgement is overdue (all of them after a reconnect):
    // its newest frame goes again. The far side's acknowledgement of it lets the window go if
    // only acknowledgements were lost, or reports the gap if frames were (on_ack); a stopped
    // peer costs a probe per back-off interval.
    void resend_overdue() {
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
    void on_ack(const natsMsg *nm) {
        std::span<const uint8_t> frame(reinterpret_cast<const uint8_t *>(natsMsg_GetData(nm)),
                                       std::size_t(natsMsg_GetDataLength(nm)));
        WireAck a;
        if (decode_ack(frame, a) != WireError::none) return count(malformed);
        AckedRoute *r = acked_of[a.dst];
        if (r == nullptr) return;
        std::lock_guard lock(r->mu);
        if (a.epoch != r->w->epoch) return;
        const auto now = Clock::now();
        if (window_ack(*r->w, a.seq) != 0) {
            r->backoff = kResendAfter;
            r->resend_at =
                window_pending(*r->w) != 0 ? now + kResendAfter : Clock::time_point::max();
            r->room.notify_one();
        }
        if ((a.flags & kAckGap) != 0 && window_pending(*r->w) != 0 && now >= r->gap_ok) {
            send_frames(*r, r->w->acked + 1, r->w->next, true);
            r->gap_ok = now + kResendAfter;
            r->resend_at = now + kResendAfter;
        }
    }

    static void on_ack_frame(natsConnection *, natsSubscription *, natsMsg *nm, void *c) {
        static_cast<Bridge *>(c)->on_ack(nm);
        natsMsg_Destroy(nm);
    }

    // The windows of the acknowledged modules, with what a predecessor left in them: sent
    // again as soon as there is a connection.
    bool open_windows() {
        for (uint32_t m : cfg.acked)
            if ((load(area->module_queues[m].queue_flags) & 1) == 0) {
                std::fprintf(stderr, "pxr-bridge: acknowledged module 0x%x has no queue\n", m);
                return false;
            }
        windows_segment =
            pxrtool::Segment::publish(kWindowsKey, windows_bytes(cfg.acked.size()), 0600);
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

    // The buffers the bridge before this one held when it was killed (the loader leaves them
    // to it). The delivery it had in hand is finished; a message it had taken from its queue, or
    // from an acknowledged module's queue, and not yet copied goes on now, before anything the
    // queues still hold; what it had copied and not yet published is counted; the rest of its
    // buffers go back to the pools. Then the loader may look for other dead processes' buffers
    // again.
    void take_over() {
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
                if ((left[i].partition << 16 | left[i].index) + 1 != in_hand) take_back(left[i]);
            count(lost_bridge_killed, unsent);
            PXR_reclaim_buffers(predecessor, 0, &st, nullptr, 0);
            if (st.returned != 0)
                std::fprintf(stderr, "pxr-bridge: %u buffers the bridge before held returned\n",
                             st.returned);
        }
        std::atomic_ref<uint32_t>(stats->in_hand.ref).store(0);
        std::atomic_ref<uint32_t>(stats->took_over).store(1);
    }

    void take_back(const PXR_reclaimed_buffer &b) {
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
        const uint32_t ref = (b.partition << 16 | b.index) + 1;
        if (r->w->keeping == ref && r->w->next != r->w->keeping_seq) return; // kept already
        keep(*r, m);
        r->resend_at = Clock::now(); // it goes with the first resend
        std::fprintf(stderr,
                     "pxr-bridge: took back a message for 0x%x that the bridge before held\n",
                     r->module);
    }

    // Keeps a message until its route is known. A full hold sends its oldest on first (or
    // counts it lost without a connection): what leaves early leaves in order.
    void hold(const WireMessage &w) {
        while (!held.empty() &&
               (held.size() >= kHoldMax || held_bytes + w.param.size() > kHoldBytes))
            send_held(held.begin());
        held.push_back(Held{w, {w.param.begin(), w.param.end()}, started + kHoldFor});
        ++held_for[w.dst];
        held_bytes += w.param.size();
    }

    std::deque<Held>::iterator send_held(std::deque<Held>::iterator it) {
        it->w.param = it->param;
        publish_later(it->w);
        --held_for[it->w.dst];
        held_bytes -= it->param.size();
        return held.erase(it);
    }

    // Sends on the messages whose route is known now, or whose wait is over; a message whose
    // route still waits holds back the later ones of that route.
    void drain_held() {
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
    void note_unsent() {
        std::atomic_ref<uint32_t>(stats->unsent).store(uint32_t(held.size() + batch_count));
    }

    // Adds a message to the outgoing batch, numbered on its route.
    void publish_later(WireMessage &w) {
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
    void flush() {
        if (batch_count == 0) return;
        std::span<const uint8_t> out(out_batch);
        if (batch_count == 1)
            out = out.subspan(kBatchHeaderBytes + 4);
        else
            finish_batch(out_batch, uint16_t(batch_count));
        if (natsConnection_Publish(nc, subjects[batch_dst].c_str(), out.data(), int(out.size())) ==
            NATS_OK) {
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

    // The bridge owns what it releases: pool class 0, whatever msg_class the sender set
    // (relm would keep a buffer whose class has bit 6 or 7 set).
    static void release(MSG *m) { PXR_relmem(0, m); }

    // Inbound: a frame (or a batch of them) for a module of this host.
    void deliver(unsigned subject_module, const natsMsg *nm) {
        static thread_local std::vector<std::span<const uint8_t>> parts;
        std::span<const uint8_t> data(reinterpret_cast<const uint8_t *>(natsMsg_GetData(nm)),
                                      std::size_t(natsMsg_GetDataLength(nm)));
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

    // The acknowledgement a frame or batch calls for: its route, and whether a frame came ahead
    // of a missing one (the sender then sends again what it holds).
    struct Due {
        RouteSeq *route = nullptr;
        bool gap = false;
    };

    void deliver_one(unsigned subject_module, std::span<const uint8_t> frame, Due &due) {
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
    void deliver_acked(const WireMessage &w, Due &due) {
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
    bool known_origin(uint32_t origin) {
        if (!cfg.discovery) return true;
        std::lock_guard lock(mu);
        return peers.contains(origin);
    }

    // Notes the acknowledgement a route is due; send_acks publishes it a moment later.
    void acknowledge(const RouteSeq &r, bool gap) {
        std::lock_guard lock(ack_mu);
        if (acks_due.empty()) ack_wake.notify_one();
        WireAck &a = acks_due[uint64_t(r.origin) << 8 | r.dst];
        const bool gap_noted = a.epoch == r.epoch && (a.flags & kAckGap) != 0;
        a = WireAck{node, r.epoch, r.next - 1, uint8_t(r.dst),
                    uint8_t(gap || gap_noted ? kAckGap : 0)};
    }

    // Publishes the acknowledgements due, each kAckDelay after the first of them was noted.
    void send_acks() {
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
                natsConnection_Publish(nc, subject.c_str(), frame.data(), int(frame.size()));
            }
            lock.lock();
        }
    }

    // Gives a message from afar to its local module and moves its route on (r may be null: a
    // frame without a sequence); returns what it counted (delivered, or the cause of the loss).
    // An acknowledged frame (acked) that finds no buffer or a full queue is not counted and
    // leaves its route where it was: it comes again.
    Counter hand_over(const WireMessage &w, RouteSeq *r, bool acked) {
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
            return c;
        };
        if (w.origin == node || !is_local(w.dst)) return lost(lost_unknown_module);
        const uint32_t len = uint32_t(w.param.size());
        int p = -1;
        for (int i = 0; i < 2 && p < 0; ++i)
            if (partition_hdr[i] != nullptr && len <= partition_hdr[i]->param_size) p = i;
        if (p < 0) return lost(lost_too_large);
        // An empty pool must not become a fatal event of this environment: a message from afar
        // is dropped instead.
        // An acknowledged frame waits a little for a buffer: its module is behind, and what is
        // dropped here comes again with everything after it.
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
        return delivered;
    }

    // Notes the message about to be sent to its module (see InHand), before its route moves.
    void note_in_hand(MSG *m, const RouteSeq *r, const WireMessage &w, bool acked) {
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
        std::atomic_ref<uint32_t>(h.ref).store((partition << 16 | index) + 1);
    }

    // Finishes the delivery a killed predecessor had in hand: its route is moved on if it was
    // not yet; a buffer the predecessor still held (among left) was not sent and is sent now;
    // one it no longer held was sent, and is counted. Returns the buffer's reference (+1) when
    // it was among left, else 0.
    uint32_t settle_in_hand(const PXR_reclaimed_buffer *left, uint32_t n) {
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
            if ((left[i].partition << 16 | left[i].index) + 1 != h.ref) continue;
            MSG *m = index_to_msg(int32_t(left[i].partition), left[i].index);
            if (m != nullptr && h.dst < PXR_MODULE_COUNT && PXR_send(h.dst, m) == 0) {
                count(delivered);
            } else {
                if (m != nullptr) release(m);
                count(lost_send_failed);
            }
            return h.ref;
        }
        count(delivered);
        return 0;
    }

    // The slot of a route from another host: its own, or a free one (epoch 0); null when every
    // slot is taken. Delivery thread only.
    RouteSeq *route_of(uint32_t origin, uint32_t dst) {
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
    void note_sequence(RouteSeq &r, uint32_t origin, uint32_t dst, uint32_t at, uint32_t seq) {
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

    void on_announce(const natsMsg *nm) {
        std::span<const uint8_t> frame(reinterpret_cast<const uint8_t *>(natsMsg_GetData(nm)),
                                       std::size_t(natsMsg_GetDataLength(nm)));
        WireAnnounce a;
        if (decode_announce(frame, a) != WireError::none) {
            count(malformed);
            return;
        }
        if (a.origin == node) {
            // Not our own echo: another bridge with the same cluster, node name, module and host.
            if (a.generation != epoch && !twin_reported) {
                twin_reported = true;
                count(clashes);
                std::fprintf(stderr,
                             "pxr-bridge: another bridge announces node %s (0x%08x); give each "
                             "bridge of the cluster its own node=NAME\n",
                             node_name.c_str(), node);
            }
            return;
        }
        if (a.flags & kAnnounceAsk) announce_now = true;
        std::lock_guard lock(mu);
        if (a.flags & kAnnounceLeave) {
            peers.erase(a.origin);
        } else {
            Peer &p = peers[a.origin];
            p.name = a.name;
            p.seen = Clock::now();
            for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m) p.modules[m] = a.has(m);
        }
        reconcile();
    }

    void unroute(unsigned m) {
        if (acked_of[m] == nullptr) IPC_unalias(m, cfg.module);
    }

    // Makes the table agree with the announcements: a module one other host claims becomes
    // remote; one claimed twice (or also here) is reported and not routed. Caller holds mu.
    void reconcile() {
        if (!cfg.discovery || closing()) return;
        for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m) {
            std::vector<const Peer *> owners;
            for (const auto &[id, p] : peers)
                if (p.modules[m]) owners.push_back(&p);
            claimed[m] = !owners.empty();
            if (m == cfg.module || static_remote[m]) continue;
            const bool local = is_local(m);
            const bool clash = owners.size() > 1 || (owners.size() == 1 && local);
            if (clash && !clash_reported[m]) {
                count(clashes);
                std::fprintf(stderr,
                             "pxr-bridge: module 0x%x is claimed by %s and %s; it is not "
                             "routed until one of them gives it up\n",
                             m, owners[0]->name.c_str(),
                             local ? "this host" : owners[1]->name.c_str());
            }
            clash_reported[m] = clash;
            const bool want = owners.size() == 1 && !local;
            // Routes a predecessor left are kept until the peers have had time to announce.
            const bool settling = owners.empty() && Clock::now() - started < kPeerExpiry;
            if (want && !discovered[m] && load(area->module_queues[m].msqid) == PXR_NO_QUEUE)
                discovered[m] = IPC_attach(m, cfg.module) == 0;
            else if (!want && discovered[m] && !settling) {
                unroute(m);
                discovered[m] = false;
            }
        }
    }

    void announce(const ModuleSet &local, uint8_t flags) {
        WireAnnounce a;
        a.origin = node;
        a.generation = epoch;
        a.flags = flags;
        a.name = node_name;
        for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m)
            if (local[m]) a.set(m);
        std::vector<uint8_t> frame;
        if (encode_announce(a, frame))
            natsConnection_Publish(nc, announce_subject.c_str(), frame.data(), int(frame.size()));
    }

    static void on_frame(natsConnection *, natsSubscription *, natsMsg *nm, void *closure);
    static void on_announce_frame(natsConnection *, natsSubscription *, natsMsg *nm, void *c) {
        static_cast<Bridge *>(c)->on_announce(nm);
        natsMsg_Destroy(nm);
    }

    // Subscribes CLUSTER.m.<id> for every module that receives here, and only those.
    void follow(const ModuleSet &local);

    // Ready once the subscriptions are at the server and the static remote modules are
    // claimed (or the peers have had kAnswerWindow to answer the first announcement).
    void note_ready(bool subscribed, Clock::time_point asked) {
        if (ready() || !subscribed || !connected()) return;
        bool known = !cfg.discovery || Clock::now() - asked >= kAnswerWindow;
        if (!known) {
            std::lock_guard lock(mu);
            known = (claimed & static_remote) == static_remote;
        }
        if (known) std::atomic_ref<uint32_t>(stats->ready).store(1);
    }

    void housekeeping() {
        ModuleSet last;
        auto announced = Clock::time_point{}, asked = Clock::time_point::max();
        bool subscribed = false;
        std::string last_error;
        for (bool first = true; !stopping; first = false) {
            if (!first) std::this_thread::sleep_for(ready() ? kTick : kTick / 4);
            if (closing()) break;
            ModuleSet local = local_set();
            if (local != last || !subscribed) {
                follow(local);
                // The server has them: what is sent to these modules from now on arrives.
                subscribed = connected() && natsConnection_FlushTimeout(nc, 250) == NATS_OK;
            }
            const auto now = Clock::now();
            if (learning && now - started >= kHoldFor) learning = false;
            if (cfg.discovery && connected() &&
                (local != last || announce_now || ask_pending ||
                 now - announced >= kAnnounceEvery)) {
                const bool ask = ask_pending.exchange(false);
                announce(local, ask ? kAnnounceAsk : 0);
                if (ask && asked == Clock::time_point::max()) asked = now;
                announce_now = false;
                announced = now;
            }
            note_ready(subscribed, asked);
            last = local;
            unsigned remote = 0;
            {
                std::lock_guard lock(mu);
                for (auto it = peers.begin(); it != peers.end();)
                    it = now - it->second.seen > kPeerExpiry ? peers.erase(it) : std::next(it);
                reconcile();
            }
            for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m) remote += is_remote(m);
            stats->connected = connected();
            stats->local_modules = unsigned(local.count());
            stats->remote_modules = remote;
            char url[128] = "";
            if (natsConnection_GetConnectedUrl(nc, url, sizeof url) == NATS_OK)
                std::memcpy(stats->server, url, sizeof stats->server);
            const char *text = nullptr;
            // While there is no connection, the last error is said in the server's terms.
            const natsStatus e = natsConnection_GetLastError(nc, &text);
            std::string shown = e == NATS_OK || text == nullptr ? ""
                                : connected()                   ? text
                                : e == NATS_NO_SERVER && !diagnosis.empty()
                                    ? diagnosis
                                    : connect_failure(e, text, cfg);
            if (!shown.empty() && last_error != shown) {
                last_error = shown;
                std::snprintf(stats->last_error, sizeof stats->last_error, "%s", shown.c_str());
                if (shown != diagnosis) std::fprintf(stderr, "pxr-bridge: %s\n", shown.c_str());
            }
            if (connected()) diagnosis.clear();
            uint64_t dropped = 0;
            for (natsSubscription *s : subs) {
                int64_t d = 0;
                if (s != nullptr && natsSubscription_GetDropped(s, &d) == NATS_OK) dropped += d;
            }
            std::atomic_ref<uint64_t>(stats->counters[lost_slow_consumer]).store(dropped);
        }
    }
};

struct FrameClosure {
    Bridge *bridge;
    unsigned module;
};
FrameClosure g_closures[PXR_MODULE_COUNT];

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

void on_disconnected(natsConnection *, void *c) {
    auto *b = static_cast<Bridge *>(c);
    b->count(disconnects);
}
void on_reconnected(natsConnection *, void *c) {
    auto *b = static_cast<Bridge *>(c);
    b->count(reconnects);
    b->ask_pending = true;
    b->resend_all = true;
}
void on_connected(natsConnection *, void *c) {
    static_cast<Bridge *>(c)->ask_pending = true;
}

// Reads credentials: a NATS credentials file (user JWT and key), or lines user=, password=,
// token=. The secrets go to the client and nowhere else.
bool apply_credentials(natsOptions *opts, const std::string &path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in) return false;
    if (text.find("BEGIN NATS USER JWT") != std::string::npos)
        return natsOptions_SetUserCredentialsFromFiles(opts, path.c_str(), nullptr) == NATS_OK;
    std::string user, password, token, line;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = std::min(text.find('\n', from), text.size());
        line = text.substr(from, end - from);
        from = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        (key == "user"       ? user
         : key == "password" ? password
         : key == "token"    ? token
                             : line) = value;
    }
    natsStatus s = NATS_OK;
    if (!token.empty())
        s = natsOptions_SetToken(opts, token.c_str());
    else if (!user.empty())
        s = natsOptions_SetUserInfo(opts, user.c_str(), password.c_str());
    else
        s = NATS_ERR;
    std::fill(text.begin(), text.end(), '\0');
    std::fill(password.begin(), password.end(), '\0');
    std::fill(token.begin(), token.end(), '\0');
    return s == NATS_OK;
}

bool make_options(Bridge &b, natsOptions **out) {
    natsOptions *opts = nullptr;
    if (natsOptions_Create(&opts) != NATS_OK) return false;
    std::vector<const char *> urls;
    for (const std::string &u : b.cfg.urls) urls.push_back(u.c_str());
    std::string name = "pxr-bridge " + b.node_name;
    bool ok = natsOptions_SetServers(opts, urls.data(), int(urls.size())) == NATS_OK &&
              natsOptions_SetName(opts, name.c_str()) == NATS_OK &&
              natsOptions_SetSendAsap(opts, true) == NATS_OK && // latency over batching
              // One delivery thread for every subscription, so that frames are given to the
              // modules in the order they arrive. The library is called from it, the main
              // thread, the acknowledged modules' takers and the keeper.
              nats_SetMessageDeliveryPoolSize(1) == NATS_OK &&
              natsOptions_UseGlobalMessageDelivery(opts, true) == NATS_OK &&
              natsOptions_SetRetryOnFailedConnect(opts, true, on_connected, &b) == NATS_OK &&
              natsOptions_SetMaxReconnect(opts, -1) == NATS_OK &&
              natsOptions_SetReconnectWait(opts, 250) == NATS_OK &&
              natsOptions_SetTimeout(opts, 2000) == NATS_OK &&
              natsOptions_SetPingInterval(opts, 2000) == NATS_OK &&
              natsOptions_SetMaxPingsOut(opts, 2) == NATS_OK &&
              natsOptions_SetDisconnectedCB(opts, on_disconnected, &b) == NATS_OK &&
              natsOptions_SetReconnectedCB(opts, on_reconnected, &b) == NATS_OK;
    if (ok && !b.cfg.credentials.empty() && !apply_credentials(opts, b.cfg.credentials)) {
        std::fprintf(stderr, "pxr-bridge: no usable credentials in %s\n",
                     b.cfg.credentials.c_str());
        ok = false;
    }
    if (ok && (b.cfg.tls || !b.cfg.tls_ca.empty()))
        ok = natsOptions_SetSecure(opts, true) == NATS_OK;
    if (ok && !b.cfg.tls_ca.empty())
        ok = natsOptions_LoadCATrustedCertificates(opts, b.cfg.tls_ca.c_str()) == NATS_OK;
    if (ok && !b.cfg.tls_cert.empty())
        ok = natsOptions_LoadCertificatesChain(opts, b.cfg.tls_cert.c_str(),
                                               b.cfg.tls_key.c_str()) == NATS_OK;
    if (ok && !b.cfg.tls_hostname.empty())
        ok = natsOptions_SetExpectedHostname(opts, b.cfg.tls_hostname.c_str()) == NATS_OK;
    if (!ok) {
        natsOptions_Destroy(opts);
        return false;
    }
    *out = opts;
    return true;
}

// The counter segment: kept across restarts of the bridge of one environment.
bool open_stats(Bridge &b) {
    b.stats_segment = pxrtool::Segment::publish(kStatsKey, sizeof(Stats), 0644);
    if (!b.stats_segment) return false;
    b.stats = reinterpret_cast<Stats *>(b.stats_segment.writable());
    if (b.stats->magic != kStatsMagic || b.stats->env_shmid != b.area_id) {
        std::memset(b.stats, 0, sizeof(Stats));
        b.stats->magic = kStatsMagic;
        b.stats->env_shmid = b.area_id;
    }
    b.predecessor = b.stats->pid;
    b.stats->pid = getpid();
    b.stats->took_over = 0;
    b.stats->connected = 0; // until this bridge has subscribed
    b.stats->ready = 0;
    b.stats->node = b.node;
    b.stats->module = b.cfg.module;
    std::snprintf(b.stats->node_name, sizeof b.stats->node_name, "%s", b.node_name.c_str());
    std::snprintf(b.stats->cluster, sizeof b.stats->cluster, "%s", b.cfg.cluster.c_str());
    return true;
}

int usage(FILE *out, int status) {
    std::fputs("usage: pxr bridge url=URL [url=URL...] cluster=NAME [module=ID] [node=NAME]\n"
               "                  [credentials=FILE] [discovery=on|off] [remote=ID...]\n"
               "                  [acked=ID...]\n"
               "                  [tls] [tls-ca=FILE] [tls-cert=FILE tls-key=FILE]\n"
               "                  [tls-hostname=NAME]\n"
               "       pxr bridge --stats [--json]\n"
               "\n"
               "Carries the messages of remote modules between this environment and the\n"
               "bridges of other hosts over NATS (normally started by `pxr load` from a\n"
               "`bridge` line). --stats prints the bridge's counters.\n",
               out);
    return status;
}

std::string host_name() {
    char buf[256] = "";
    gethostname(buf, sizeof buf - 1);
    std::string s;
    for (char *c = buf; *c && s.size() < kMaxNameBytes; ++c)
        s.push_back(std::isalnum(static_cast<unsigned char>(*c)) || *c == '-' ? *c : '_');
    return s.empty() ? "host" : s;
}

// The host name of a server url that does not resolve (empty when every one does).
std::string unresolved_host(const pxrtool::BridgeConfig &cfg) {
    for (const std::string &u : cfg.urls) {
        std::string host = u.substr(u.find("://") == std::string::npos ? 0 : u.find("://") + 3);
        host = host.substr(0, host.rfind(':') == std::string::npos ? host.size() : host.rfind(':'));
        addrinfo *found = nullptr;
        if (host.empty() || host.front() == '[') continue;
        if (getaddrinfo(host.c_str(), nullptr, nullptr, &found) != 0) return host;
        freeaddrinfo(found);
    }
    return "";
}

// Why a connection failed, in the server's terms where it gave them.
std::string connect_failure(natsStatus s, const char *text, const pxrtool::BridgeConfig &cfg) {
    std::string said = text != nullptr ? text : "";
    if (!said.empty() && said[0] == '(' && said.find("): ") != std::string::npos)
        said.erase(0, said.find("): ") + 3); // the client's source position
    if (!said.empty()) said = ": " + said;
    std::string where;
    bool tls = cfg.tls || !cfg.tls_ca.empty() || !cfg.tls_cert.empty();
    for (const std::string &u : cfg.urls) {
        where += (where.empty() ? "" : ", ") + u;
        tls = tls || u.starts_with("tls://");
    }
    switch (s) {
    case NATS_CONNECTION_AUTH_FAILED:
        if (cfg.credentials.empty())
            return "authentication failed: the server wants credentials and none were given "
                   "(credentials=FILE)" +
                   said;
        return "authentication failed: the server refused the credentials" + said;
    case NATS_SSL_ERROR:
        return "TLS handshake failed (check tls-ca, tls-cert and tls-hostname)" + said;
    case NATS_SECURE_CONNECTION_REQUIRED:
        return "the server requires TLS (use a tls:// url)";
    case NATS_SECURE_CONNECTION_WANTED:
        return "TLS was asked for but the server does not offer it";
    case NATS_NO_SERVER:
        if (const std::string name = unresolved_host(cfg); !name.empty())
            return "cannot resolve the host name " + name + " (no such host in DNS or /etc/hosts)";
        return "no server reachable at " + where + " (refused, or no answer)";
    case NATS_PROTOCOL_ERROR: // the server hung up during the handshake
        if (tls && cfg.tls_cert.empty())
            return "the server closed the TLS connection: it may want a client certificate "
                   "(tls-cert, tls-key)" +
                   said;
        return "the server broke off the connection" + said;
    case NATS_TIMEOUT:
        return "the server did not answer in time" + said;
    default:
        return std::string(natsStatus_GetText(s)) + said;
    }
}

// The node id: FNV-1a over what makes this bridge itself (cluster, node name, module and
// host), so that it is the same after a restart, and different for every other bridge.
uint32_t node_id(const pxrtool::BridgeConfig &cfg, const std::string &node_name) {
    const std::string self =
        cfg.cluster + '\n' + node_name + '\n' + std::to_string(cfg.module) + '\n' + host_name();
    uint32_t h = 2166136261u;
    for (char c : self) h = (h ^ uint8_t(c)) * 16777619u;
    return h;
}

int run(Bridge &b) {
    if (PXR_link() != 0) {
        std::fprintf(stderr, "pxr-bridge: no environment to attach to\n");
        return 1;
    }
    b.area = PXR_common_area();
    b.area_id = PXR_common_area_id();
    if (b.area == nullptr) return 1;
    if ((b.load(b.area->module_queues[b.cfg.module].queue_flags) & 1) == 0) {
        std::fprintf(stderr, "pxr-bridge: module 0x%x has no queue of its own\n", b.cfg.module);
        return 1;
    }
    b.node_name = b.cfg.node.empty() ? host_name() : b.cfg.node;
    b.node = node_id(b.cfg, b.node_name);
    b.epoch = draw_epoch();
    if (!open_stats(b)) {
        std::fprintf(stderr, "pxr-bridge: cannot make the counter segment\n");
        return 1;
    }
    if (!b.cfg.acked.empty() && !b.open_windows()) return 1;
    b.take_over();
    PXR_set_receive_spin(0); // goes once the library keeps receive state per thread
    for (uint32_t m : b.cfg.remotes) b.static_remote[m] = true;
    // A bridge restarted by its supervisor adopts the routes its predecessor discovered.
    for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m)
        b.discovered[m] = b.cfg.discovery && !b.static_remote[m] && b.is_remote(m);
    for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m)
        b.subjects[m] = b.cfg.cluster + ".m." + std::to_string(m);
    b.announce_subject = b.cfg.cluster + ".announce";

    // Only the main thread takes the stop signals: the client's threads are made with them
    // blocked, and a signal interrupts the main thread's receive.
    std::signal(SIGPIPE, SIG_IGN); // a server that goes away is a disconnect, not our end
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
    natsOptions *opts = nullptr;
    if (!make_options(b, &opts)) {
        std::fprintf(stderr, "pxr-bridge: bad client options (TLS files or credentials)\n");
        return 1;
    }
    // A first attempt without retries tells why a connection fails; the client's own retries
    // only say that no server was available.
    natsStatus s = natsOptions_SetRetryOnFailedConnect(opts, false, nullptr, nullptr);
    if (s == NATS_OK) s = natsConnection_Connect(&b.nc, opts);
    if (s != NATS_OK) {
        natsStatus detail = NATS_OK;
        const std::string why = connect_failure(s, nats_GetLastError(&detail), b.cfg);
        std::snprintf(b.stats->last_error, sizeof b.stats->last_error, "%s", why.c_str());
        b.diagnosis = why;
        std::fprintf(stderr, "pxr-bridge: %s; trying again\n", why.c_str());
        s = natsOptions_SetRetryOnFailedConnect(opts, true, on_connected, &b);
        if (s == NATS_OK) s = natsConnection_Connect(&b.nc, opts);
    }
    natsOptions_Destroy(opts);
    if (s != NATS_OK && s != NATS_NOT_YET_CONNECTED) {
        std::fprintf(stderr, "pxr-bridge: cannot use the servers: %s\n", natsStatus_GetText(s));
        return 1;
    }
    natsSubscription *announce_sub = nullptr, *ack_sub = nullptr;
    if (b.cfg.discovery)
        natsConnection_Subscribe(&announce_sub, b.nc, b.announce_subject.c_str(),
                                 Bridge::on_announce_frame, &b);
    if (!b.acked_routes.empty()) {
        const std::string acks = b.cfg.cluster + ".ack." + std::to_string(b.node);
        natsConnection_Subscribe(&ack_sub, b.nc, acks.c_str(), Bridge::on_ack_frame, &b);
    }
    std::thread keeper([&b] { b.housekeeping(); });
    std::thread acker([&b] { b.send_acks(); });
    // The takers keep the stop signals blocked; a wake-up signal ends their wait in a queue.
    struct sigaction wake {};
    wake.sa_handler = on_wake; // without SA_RESTART: the receive returns
    sigaction(SIGUSR1, &wake, nullptr);
    for (auto &r : b.acked_routes) r->taker = std::thread([&b, &r] { b.take_acked(*r); });
    std::thread resender;
    if (!b.acked_routes.empty()) resender = std::thread([&b] { b.resend_overdue(); });

    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &stop_set, nullptr);
    std::fprintf(stderr, "pxr-bridge: node %s (0x%08x), module 0x%x, cluster %s\n",
                 b.node_name.c_str(), b.node, b.cfg.module, b.cfg.cluster.c_str());

    while (!g_stop) {
        // While messages wait for their route, the receive wakes up to send them on.
        MSG *m = b.held.empty() ? PXR_receive(b.cfg.module) : PXR_timed_receive(b.cfg.module, 20);
        if (!b.held.empty()) b.drain_held();
        if (m == nullptr) {
            if (b.closing()) break;
            b.flush();
            continue;
        }
        b.forward(m);
        while ((m = PXR_grab(b.cfg.module)) != nullptr) b.forward(m); // what waits goes along
        b.flush();
    }
    b.count(lost_no_connection, b.held.size()); // stopped before their route was learnt

    std::string tally; // the counters once more, for the log of whoever started the bridge
    for (unsigned c = 0; c < kCounterCount; ++c)
        tally += std::string(" ") + kCounterNames[c] + "=" + std::to_string(b.stats->counters[c]);
    std::fprintf(stderr, "pxr-bridge: stopping;%s\n", tally.c_str());
    const bool closing = b.closing();
    b.stats->connected = 0;
    if (closing) { // nothing of ours outlives the environment
        b.stats_segment.remove();
        b.windows_segment.remove();
    }
    b.stopping = true;
    keeper.join();
    acker.join();
    if (resender.joinable()) resender.join();
    for (auto &r : b.acked_routes) {
        r->room.notify_all();
        while (!r->done) { // a signal just before its receive began would be missed: again
            pthread_kill(r->taker.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        r->taker.join();
    }
    if (!closing) {
        std::lock_guard lock(b.mu);
        for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m)
            if (b.discovered[m]) b.unroute(m);
    }
    if (b.cfg.discovery && b.connected()) {
        b.announce({}, kAnnounceLeave);
        natsConnection_FlushTimeout(b.nc, 200);
    }
    natsSubscription_Destroy(announce_sub);
    natsSubscription_Destroy(ack_sub);
    b.follow({});
    natsConnection_Close(b.nc);
    natsConnection_Destroy(b.nc);
    return 0;
}

} // namespace

} // namespace pxrbridge

int main(int argc, char **argv) {
    using namespace pxrbridge;
    std::vector<std::string> words(argv + 1, argv + argc);
    if (!words.empty() && (words[0] == "-h" || words[0] == "--help")) return usage(stdout, 0);
    if (!words.empty() && words[0] == "--stats")
        return pxrtool::print_bridge_stats(words.size() > 1 && words[1] == "--json");
    static Bridge b;
    std::vector<std::string> errors;
    pxrtool::parse_bridge_options(words, b.cfg, errors);
    if (b.cfg.urls.empty()) errors.push_back("url=nats://HOST:PORT is needed");
    if (b.cfg.cluster.empty()) errors.push_back("cluster=NAME is needed");
    for (const std::string &e : errors) std::fprintf(stderr, "pxr bridge: %s\n", e.c_str());
    if (!errors.empty()) return usage(stderr, 64);
    int status = run(b);
    nats_Close();
    return status;
}
