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
//
// Which thread owns what, and what guards it (each file's head repeats its part):
//
//   state                                   written by                        guarded by
//   out_batch, batch_*, last_seq, held*     main thread (outbound.cpp)        that thread alone
//   stats->unsent                           main thread                       atomic word
//   AckedRoute: window, resend_at, gap_ok,  its taker, the resender, on_ack   AckedRoute::mu
//     backoff, frame, batch                   on the delivery thread (acked.cpp)
//   acks_due                                delivery thread adds, acker sends ack_mu
//   stats->routes, stats->in_hand           delivery thread (inbound.cpp);    that thread alone
//                                             take_over before it starts
//   peers, discovered, clash_reported,      keeper, on_announce on the        mu
//     claimed, static_remote                  delivery thread (discovery.cpp)
//   subs, subjects                          keeper (follow); run before and   that thread alone
//                                             after it
//   stats->counters                         every thread                      atomic adds
//   ask_pending, announce_now, stopping,    any thread                        atomics
//     resend_all, learning
//
// The library is called from the main thread, the delivery thread, the takers and the keeper.
#pragma once

#include "bridge_stats.h"
#include "sign.h"
#include "window.h"
#include "wire.h"

#include "config_bridge.h"
#include "pxrlib.h"
#include "view.h"

#include <nats/nats.h>

#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace pxrbridge {

using Clock = std::chrono::steady_clock;
using ModuleSet = std::bitset<PXR_MODULE_COUNT>;

// A buffer as the bridge's records in shared memory name it (window, counter segment): 0 is
// none.
constexpr uint32_t kept_ref(uint32_t partition, uint32_t index) {
    return (partition << 16 | index) + 1;
}

constexpr auto kTick = std::chrono::milliseconds(200);
constexpr auto kAnnounceEvery = std::chrono::seconds(2);
constexpr auto kPeerExpiry = std::chrono::seconds(7);
constexpr auto kAnswerWindow = std::chrono::milliseconds(1000); // for the peers' announcements
constexpr auto kHoldFor = std::chrono::seconds(2);
constexpr std::size_t kHoldMax = 512;        // messages waiting for their route, at most
constexpr std::size_t kHoldBytes = 4u << 20; // and their parameter bytes
// No acknowledgement this long: the newest frame is sent again, as a probe whose
// acknowledgement tells where the far side is; without an answer the wait doubles up to
// kResendMax, so a stopped peer costs a probe now and then, not the window again and again.
constexpr auto kResendAfter = std::chrono::milliseconds(250);
constexpr auto kResendMax = std::chrono::milliseconds(2000);
constexpr auto kResendTick = std::chrono::milliseconds(50);
constexpr int kBufferWaitMs = 50; // an acknowledged frame's wait for a buffer here
// An acknowledgement waits this long, so that one covers whatever else of its route comes
// meanwhile, and none is written between a request and its answer.
constexpr auto kAckDelay = std::chrono::milliseconds(1);

// Why a connection failed, in the server's terms where it gave them (bridge.cpp).
std::string connect_failure(natsStatus s, const char *text, const pxrtool::BridgeConfig &cfg);

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
    std::string key; // the cluster's key (key=FILE): frames are signed and checked with it
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

    std::mutex mu; // guards the next two lines (static_remote: set at the start, read after)
    std::map<uint32_t, Peer> peers;
    ModuleSet discovered, clash_reported, static_remote, claimed;
    bool twin_reported = false; // the delivery thread's (on_announce) alone
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

    // Publishes a payload, signed when the cluster has a key; any thread (bridge.cpp).
    natsStatus publish(const std::string &subject, std::span<const uint8_t> payload);
    // A received payload, without its signature; false (and counted) when the cluster has a
    // key and the signature is missing or wrong.
    bool payload_of(const natsMsg *nm, std::span<const uint8_t> &payload);

    // Outbound, the main thread (outbound.cpp).
    bool route_ready(unsigned dst);
    void forward(MSG *m);
    void hold(const WireMessage &w);
    std::deque<Held>::iterator send_held(std::deque<Held>::iterator it);
    void drain_held();
    void note_unsent();
    void publish_later(WireMessage &w);
    void flush();
    // At the start, before the other threads: what a killed predecessor left.
    void take_over();
    void take_back(const PXR_reclaimed_buffer &b);
    bool ready() const { return load(stats->ready) != 0; }
    // The bridge owns what it releases: pool class 0, whatever msg_class the sender set
    // (relm would keep a buffer whose class has bit 6 or 7 set).
    static void release(MSG *m) { PXR_relmem(0, m); }

    // Acknowledged: takers, resender, the acknowledgements on the delivery thread (acked.cpp).
    bool open_windows();
    void take_acked(AckedRoute &r);
    std::size_t keep(AckedRoute &r, MSG *m);
    void send_frames(AckedRoute &r, uint32_t from, uint32_t to, bool again);
    void resend_overdue();
    void on_ack(const natsMsg *nm);
    static void on_ack_frame(natsConnection *, natsSubscription *, natsMsg *nm, void *c);

    // Inbound, the client's delivery thread; acknowledgements, the acker (inbound.cpp).
    // The acknowledgement a frame or batch calls for: its route, and whether a frame came ahead
    // of a missing one (the sender then sends again what it holds).
    struct Due {
        RouteSeq *route = nullptr;
        bool gap = false;
    };
    static void on_frame(natsConnection *, natsSubscription *, natsMsg *nm, void *closure);
    void follow(const ModuleSet &local); // the keeper's: subscriptions of the local modules
    void deliver(unsigned subject_module, const natsMsg *nm);
    void deliver_one(unsigned subject_module, std::span<const uint8_t> frame, Due &due);
    void deliver_acked(const WireMessage &w, Due &due);
    bool known_origin(uint32_t origin);
    void hand_over(const WireMessage &w, RouteSeq *r, bool acked);
    void note_in_hand(MSG *m, const RouteSeq *r, const WireMessage &w, bool acked);
    uint32_t settle_in_hand(const PXR_reclaimed_buffer *left, uint32_t n);
    RouteSeq *route_of(uint32_t origin, uint32_t dst);
    void note_sequence(RouteSeq &r, uint32_t origin, uint32_t dst, uint32_t at, uint32_t seq);
    void acknowledge(const RouteSeq &r, bool gap);
    void send_acks();

    // Discovery: the keeper, announcements on the delivery thread (discovery.cpp).
    void housekeeping();
    void note_ready(bool subscribed, Clock::time_point asked);
    void announce(const ModuleSet &local, uint8_t flags);
    void on_announce(const natsMsg *nm);
    static void on_announce_frame(natsConnection *, natsSubscription *, natsMsg *nm, void *c);
    void reconcile();
    void unroute(unsigned m);
};

} // namespace pxrbridge
