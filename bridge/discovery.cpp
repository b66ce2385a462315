// Discovery, on the keeper thread: subscriptions, announcements of the local modules, the
// peers' announcements (on_announce, on the delivery thread) turned into routes in the module
// table, the bridge's readiness and its status in the counter segment.
//
//   state                                          owner                        guarded by
//   peers, discovered, clash_reported, claimed     keeper, on_announce          mu
//   static_remote                                  set at the start, read after mu
//   twin_reported                                  on_announce                  that thread alone
//   learning, ask_pending, announce_now            keeper, callbacks            atomics
//   stats (connected, ready, last_error, ...)      keeper                       plain words read
//                                                                               by other processes
#include "bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace pxrbridge {

void Bridge::on_announce(const natsMsg *nm) {
    std::span<const uint8_t> frame;
    if (!payload_of(nm, frame)) return;
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

void Bridge::unroute(unsigned m) {
    if (acked_of[m] == nullptr) IPC_unalias(m, cfg.module);
}

// Makes the table agree with the announcements: a module one other host claims becomes
// remote; one claimed twice (or also here) is reported and not routed. Caller holds mu.
void Bridge::reconcile() {
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
                         m, owners[0]->name.c_str(), local ? "this host" : owners[1]->name.c_str());
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

void Bridge::announce(const ModuleSet &local, uint8_t flags) {
    WireAnnounce a;
    a.origin = node;
    a.generation = epoch;
    a.flags = flags;
    a.name = node_name;
    for (unsigned m = 0; m < PXR_MODULE_COUNT; ++m)
        if (local[m]) a.set(m);
    std::vector<uint8_t> frame;
    if (encode_announce(a, frame)) publish(announce_subject, frame);
}

void Bridge::on_announce_frame(natsConnection *, natsSubscription *, natsMsg *nm, void *c) {
    static_cast<Bridge *>(c)->on_announce(nm);
    natsMsg_Destroy(nm);
}

// Ready once the subscriptions are at the server and the static remote modules are
// claimed (or the peers have had kAnswerWindow to answer the first announcement).
void Bridge::note_ready(bool subscribed, Clock::time_point asked) {
    if (ready() || !subscribed || !connected()) return;
    bool known = !cfg.discovery || Clock::now() - asked >= kAnswerWindow;
    if (!known) {
        std::lock_guard lock(mu);
        known = (claimed & static_remote) == static_remote;
    }
    if (known) std::atomic_ref<uint32_t>(stats->ready).store(1);
}

void Bridge::housekeeping() {
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
            (local != last || announce_now || ask_pending || now - announced >= kAnnounceEvery)) {
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

} // namespace pxrbridge
