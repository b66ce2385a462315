// The bridge's counters, kept in a small System V shared-memory segment of their own (key
// kStatsKey, beside the environment's key plan), so that `pxr bridge --stats` reads them from
// another process and a restarted bridge of the same environment goes on counting.
#pragma once

#include <cstdint>

namespace pxrbridge {

inline constexpr int kStatsKey = 0xE0430;
inline constexpr int kWindowsKey = 0xE0431;         // the send windows of the acknowledged mode
inline constexpr uint32_t kStatsMagic = 0x50584233; // "PXB3": the layout with in_hand

enum Counter : unsigned {
    forwarded,           // local messages published to another host
    delivered,           // messages from another host sent to a local module
    bytes_out,           // parameter bytes forwarded
    bytes_in,            // parameter bytes delivered
    lost_no_connection,  // released: no connection to a server (or the publish failed)
    lost_no_buffer,      // released: no free buffer here for a message from another host
    lost_too_large,      // released: parameters larger than every partition here
    lost_unknown_module, // released: the destination is neither remote nor local here
    lost_send_failed,    // released: the send to the local module failed
    lost_slow_consumer,  // dropped by the client for a slow bridge (also in lost_in_transit)
    lost_in_transit,     // never arrived here: gaps in the sequence of a route from another host
    malformed,           // frames refused by the decoder (or whose subject disagrees)
    disconnects,
    reconnects,
    clashes,            // a module id announced by two hosts (or local and announced)
    resent,             // acknowledged frames published again (no acknowledgement came in time)
    duplicates,         // acknowledged frames that arrived again and were dropped
    lost_bridge_killed, // taken by a sending bridge killed before it published them
    refused_ahead,      // acknowledged frames too far ahead of their route: not taken
    refused_origin,     // frames of a node that has not announced itself, or of a stale epoch
    refused_signature,  // frames without a valid signature of the cluster's key
    kCounterCount
};

inline constexpr const char *kCounterNames[kCounterCount] = {
    "forwarded",          "delivered",          "bytes_out",       "bytes_in",
    "lost_no_connection", "lost_no_buffer",     "lost_too_large",  "lost_unknown_module",
    "lost_send_failed",   "lost_slow_consumer", "lost_in_transit", "malformed",
    "disconnects",        "reconnects",         "clashes",         "resent",
    "duplicates",         "lost_bridge_killed", "refused_ahead",   "refused_origin",
    "refused_signature"};

// What this side expects next on one route from another host (sending node, destination
// module). Kept here rather than in the bridge, so that what was lost while the bridge
// restarted shows as a gap, and an acknowledged frame given to its module before the restart
// is not given again. Epochs are never 0: a slot with epoch 0 is free.
struct RouteSeq {
    uint32_t origin;
    uint32_t dst;
    uint32_t epoch;
    uint32_t next;
};
inline constexpr unsigned kRouteSlots = 2048;

// The message from afar that the delivery thread is giving to its local module, noted before
// the route's sequence moves and before the send, and cleared once counted. A bridge started
// again after a kill finishes the work: a buffer its predecessor still held was not sent and
// is sent now; one it no longer held was, and is counted.
struct InHand {
    uint32_t ref;    // partition << 16 | index, plus 1; 0: nothing in hand (stored last)
    uint32_t route;  // the slot in routes, plus 1 (0: a frame without a sequence)
    uint32_t origin; // the frame's route, epoch and sequence
    uint32_t dst;
    uint32_t epoch;
    uint32_t seq;
    uint32_t acked; // 1: an acknowledged frame
    uint32_t reserved;
    uint64_t delivered; // the delivered counter before the send
};

struct Stats {
    uint32_t magic;
    int32_t env_shmid; // the common area this bridge served; another one means stale counters
    int32_t pid;
    uint32_t node;
    uint32_t module;
    uint32_t connected; // 1 while connected to a server
    uint32_t local_modules;
    uint32_t remote_modules;
    uint32_t ready;     // 1 once connected, subscribed and the routes learnt: processes may start
    uint32_t took_over; // 1 once the bridge has dealt with the buffers its predecessor held
    char node_name[64];
    char cluster[40];
    char server[128];     // the server connected to, without credentials
    char last_error[128]; // the client's last error text
    uint32_t unsent;      // messages taken from the queue and released but not yet published
    uint32_t reserved;
    InHand in_hand;
    uint64_t counters[kCounterCount];
    RouteSeq routes[kRouteSlots]; // open addressing by (origin, dst); written by one thread
};

} // namespace pxrbridge
