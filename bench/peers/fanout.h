// Fan-out rows of the peer benchmark: one publisher, N subscribers, every message reaching
// every subscriber; and the producer that outruns its consumer (backpressure).
#pragma once

#include "common.h"

#include <memory>

namespace peers {

// The record at the start of every fan-out message, data and answers alike.
struct FanMsg {
    uint32_t kind;  // kData, kStop, kAck, kAnswer, kProbe, kHello
    uint32_t seq;   // the data message's sequence number (answers: the one answered)
    uint32_t from;  // answers: the subscriber's index, 0..N-1
    uint32_t count; // acknowledgements: data messages this subscriber has read so far
};
inline constexpr uint32_t kAnswer = 4; // a subscriber's answer to one round-trip message
inline constexpr uint32_t kProbe = 5;  // ZeroMQ: sent until every subscription has arrived
inline constexpr uint32_t kHello = 6;  // a subscriber's first answer: it is connected
inline constexpr int kMaxSubscribers = 16;

// One transport in both roles. The runner makes it before forking; each side calls open with
// its role (0: the publisher, k >= 1: subscriber k - 1) and then only its role's calls.
struct FanTransport {
    int subscribers = 1;
    virtual bool open(const Params &p, int side) noexcept = 0;
    // Publisher: fill a payload of p.payload bytes (every byte written) headed by h and
    // deliver it to every subscriber.
    virtual bool publish(const Params &p, const FanMsg &h) noexcept = 0;
    // Publisher: the next answer of any subscriber (blocking).
    virtual bool next_answer(FanMsg *a) noexcept = 0;
    // Subscriber: the next message (blocking); every byte of its payload is read and the
    // message given back before this returns its header.
    virtual bool receive(const Params &p, FanMsg *h) noexcept = 0;
    // Subscriber: send a small answer (a FanMsg) to the publisher.
    virtual bool answer(const FanMsg &a) noexcept = 0;
    virtual void close() noexcept {}
    virtual ~FanTransport() = default;
};

// The measurement of one fan-out row: sides forked, pinned as run_sides pins them (the
// publisher is side 0, alone on cpu_b; the subscribers share cpu_a).
Result run_fanout(const Params &p, FanTransport *t, int subscribers);

// Transports. Each builds its shared set-up (an environment, endpoints), runs run_fanout and
// removes the set-up again.
enum class PxrFan { group_ring, group_kernel, per_member_ring };
Result run_fanout_pxr(const Params &p, PxrFan form, int subscribers);
Result run_fanout_zmq(const Params &p, int subscribers);
Result run_fanout_iceoryx(const Params &p, int subscribers);

// peerbench fanout measure|report ... and peerbench backpressure ...
int fanout_main(int argc, char **argv);
int fanout_report(const char *raw, const char *backpressure_raw, const std::string &outdir);
int backpressure_main(int argc, char **argv);

} // namespace peers
