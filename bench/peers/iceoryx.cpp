// Eclipse iceoryx, the zero-copy peer: publishers loan chunks from RouDi's shared memory,
// subscribers take them. Waiting is either the WaitSet (blocking) or a spin on take().
// The echo side cannot send a received chunk on, so it loans a new one and copies the
// payload into it, as an iceoryx user answering with the same data would.
#include "common.h"

#include "iceoryx_posh/popo/untyped_publisher.hpp"
#include "iceoryx_posh/popo/untyped_subscriber.hpp"
#include "iceoryx_posh/popo/wait_set.hpp"
#include "iceoryx_posh/runtime/posh_runtime.hpp"

#include <cstdio>
#include <thread>
#include <unistd.h>

namespace peers {

namespace {

bool g_busy;
pid_t g_parent;

iox::capro::ServiceDescription topic(const char *dir, uint32_t payload) {
    char ev[128];
    snprintf(ev, sizeof ev, "p%u-%d", payload, int(g_parent));
    return {"peers", iox::capro::IdString_t(iox::cxx::TruncateToCapacity, dir),
            iox::capro::IdString_t(iox::cxx::TruncateToCapacity, ev)};
}

void init_runtime(const char *role) {
    char name[128];
    snprintf(name, sizeof name, "peers-%s-%d", role, int(getpid()));
    iox::runtime::PoshRuntime::initRuntime(iox::RuntimeName_t(iox::cxx::TruncateToCapacity, name));
}

iox::popo::PublisherOptions pub_options() {
    iox::popo::PublisherOptions o;
    o.subscriberTooSlowPolicy = iox::popo::ConsumerTooSlowPolicy::WAIT_FOR_CONSUMER;
    return o;
}

iox::popo::SubscriberOptions sub_options() {
    iox::popo::SubscriberOptions o;
    o.queueCapacity = kWindow;
    o.queueFullPolicy = iox::popo::QueueFullPolicy::BLOCK_PRODUCER;
    return o;
}

// Both directions must be connected before the first message, or it would be dropped.
bool wait_connected(iox::popo::UntypedPublisher &pub, iox::popo::UntypedSubscriber &sub) {
    uint64_t limit = now_ns() + 10'000'000'000ull;
    while (!pub.hasSubscribers() || sub.getSubscriptionState() != iox::SubscribeState::SUBSCRIBED) {
        if (now_ns() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Endpoint {
    iox::popo::UntypedPublisher pub;
    iox::popo::UntypedSubscriber sub;
    iox::popo::WaitSet<> ws;
    Endpoint(const char *out, const char *in, uint32_t payload)
        : pub(topic(out, payload), pub_options()), sub(topic(in, payload), sub_options()) {
        if (!g_busy)
            ws.attachState(sub, iox::popo::SubscriberState::HAS_DATA).or_else([](auto) {
                fprintf(stderr, "waitset attach failed\n");
            });
    }
    // The next chunk: wait in the WaitSet, or spin on take().
    const void *next() {
        for (;;) {
            auto r = sub.take();
            if (!r.has_error()) return r.value();
            if (g_busy) continue;
            ws.wait();
        }
    }
    void *loan(uint32_t size) {
        auto r = pub.loan(size);
        return r.has_error() ? nullptr : r.value();
    }
};

void echo(const Params &p, Result *r, int) {
    init_runtime("b");
    {
        Endpoint e("ba", "ab", p.payload);
        if (!wait_connected(e.pub, e.sub)) return fail(r, "iceoryx: echo not connected");
        for (;;) {
            auto *in = static_cast<const uint8_t *>(e.next());
            Hdr h;
            std::memcpy(&h, in, sizeof h);
            if (h.kind == kStop) {
                e.sub.release(in);
                break;
            }
            consume(in, p.payload);
            void *out = e.loan(p.payload);
            if (!out) return fail(r, "iceoryx: echo loan failed");
            std::memcpy(out, in, p.payload);
            e.sub.release(in);
            e.pub.publish(out);
        }
    }
    r->ok = 1;
}

void ping(const Params &p, Result *r, int) {
    init_runtime("a");
    std::vector<uint64_t> samples;
    samples.reserve(p.count);
    {
        Endpoint e("ab", "ba", p.payload);
        if (!wait_connected(e.pub, e.sub)) return fail(r, "iceoryx: ping not connected");
        // The echo side may still be connecting its answer direction.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const uint64_t total = p.warm + p.count;
        for (uint64_t i = 0; i < total; ++i) {
            uint64_t t0 = now_ns();
            auto *out = static_cast<uint8_t *>(e.loan(p.payload));
            if (!out) return fail(r, "iceoryx: loan failed");
            fill(out, p.payload, uint32_t(i));
            Hdr h{kData, uint32_t(i)};
            std::memcpy(out, &h, sizeof h);
            e.pub.publish(out);
            auto *in = static_cast<const uint8_t *>(e.next());
            consume(in, p.payload);
            bool match = in[p.payload - 1] == uint8_t(i);
            e.sub.release(in);
            if (!match) return fail(r, "iceoryx: answer does not match");
            uint64_t t1 = now_ns();
            if (i >= p.warm) samples.push_back(t1 - t0);
        }
        auto *out = static_cast<uint8_t *>(e.loan(p.payload));
        if (out) {
            Hdr h{kStop, 0};
            std::memcpy(out, &h, sizeof h);
            e.pub.publish(out);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    summarize(samples, r);
}

void consumer(const Params &p, Result *r, int) {
    init_runtime("c");
    RateMeter meter(p.warm);
    {
        Endpoint e("ack", "data", p.payload);
        if (!wait_connected(e.pub, e.sub)) return fail(r, "iceoryx: consumer not connected");
        uint32_t since_ack = 0;
        for (;;) {
            auto *in = static_cast<const uint8_t *>(e.next());
            Hdr h;
            std::memcpy(&h, in, sizeof h);
            if (h.kind == kStop) {
                e.sub.release(in);
                break;
            }
            consume(in, p.payload);
            e.sub.release(in);
            meter.tick();
            if (++since_ack == kAckEvery) {
                since_ack = 0;
                void *a = e.loan(sizeof(Hdr));
                if (!a) return fail(r, "iceoryx: ack loan failed");
                Hdr ah{kAck, 0};
                std::memcpy(a, &ah, sizeof ah);
                e.pub.publish(a);
            }
        }
        meter.finish(r);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void producer(const Params &p, Result *r, int) {
    init_runtime("p");
    {
        Endpoint e("data", "ack", p.payload);
        if (!wait_connected(e.pub, e.sub)) return fail(r, "iceoryx: producer not connected");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        uint64_t sent = 0, acked = 0;
        const uint64_t end = now_ns() + uint64_t(p.secs * 1e9);
        for (;;) {
            if ((sent & 63) == 0 && now_ns() > end) break;
            while (sent - acked >= kWindow) {
                e.sub.release(e.next());
                acked += kAckEvery;
            }
            auto *out = static_cast<uint8_t *>(e.loan(p.payload));
            if (!out) return fail(r, "iceoryx: loan failed after %llu", (unsigned long long)sent);
            fill(out, p.payload, uint32_t(sent));
            Hdr h{kData, uint32_t(sent)};
            std::memcpy(out, &h, sizeof h);
            e.pub.publish(out);
            ++sent;
        }
        auto *out = static_cast<uint8_t *>(e.loan(p.payload));
        if (!out) return fail(r, "iceoryx: loan for stop failed");
        Hdr h{kStop, 0};
        std::memcpy(out, &h, sizeof h);
        e.pub.publish(out);
        while (acked < sent / kAckEvery * kAckEvery) {
            e.sub.release(e.next());
            acked += kAckEvery;
        }
    }
    r->ok = 1;
}

} // namespace

bool have_iceoryx() noexcept {
    return true;
}

Result run_iceoryx(const Params &p, bool busy_poll) {
    g_busy = busy_poll;
    g_parent = getpid();
    double deadline = 60 + (p.test == Test::Latency ? double(p.count + p.warm) * 1e-3 : p.secs * 3);
    if (p.test == Test::Latency) return run_sides(p, {echo, ping}, 1, deadline);
    return run_sides(p, {consumer, producer}, 0, deadline);
}

} // namespace peers
