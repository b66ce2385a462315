// iceoryx fan-out: one publisher loans a chunk, fills it and publishes it to every subscriber
// of the topic (one chunk, shared); each subscriber answers on a topic of its own, and the
// publisher waits on all of them in one WaitSet. Queues block the publisher rather than drop.
#include "fanout.h"

#include "iceoryx_posh/popo/untyped_publisher.hpp"
#include "iceoryx_posh/popo/untyped_subscriber.hpp"
#include "iceoryx_posh/popo/wait_set.hpp"
#include "iceoryx_posh/runtime/posh_runtime.hpp"

#include <cstdio>
#include <thread>
#include <unistd.h>

namespace peers {

namespace {

using iox::popo::UntypedPublisher;
using iox::popo::UntypedSubscriber;

struct IceoryxFanTransport : FanTransport {
    pid_t parent = 0;
    uint32_t payload = 0, me = 0;
    std::unique_ptr<UntypedPublisher> pub;
    std::vector<std::unique_ptr<UntypedSubscriber>> subs;
    std::unique_ptr<iox::popo::WaitSet<>> ws;
    size_t next = 0; // the answer topic looked at first

    iox::capro::ServiceDescription topic(const std::string &name) const {
        char ev[128];
        snprintf(ev, sizeof ev, "p%u-%d", payload, int(parent));
        return {"peers-fan", iox::capro::IdString_t(iox::cxx::TruncateToCapacity, name.c_str()),
                iox::capro::IdString_t(iox::cxx::TruncateToCapacity, ev)};
    }
    void make_pub(const std::string &name) {
        iox::popo::PublisherOptions o;
        o.subscriberTooSlowPolicy = iox::popo::ConsumerTooSlowPolicy::WAIT_FOR_CONSUMER;
        pub = std::make_unique<UntypedPublisher>(topic(name), o);
    }
    void add_sub(const std::string &name) {
        iox::popo::SubscriberOptions o;
        o.queueCapacity = kWindow;
        o.queueFullPolicy = iox::popo::QueueFullPolicy::BLOCK_PRODUCER;
        subs.push_back(std::make_unique<UntypedSubscriber>(topic(name), o));
        ws->attachState(*subs.back(), iox::popo::SubscriberState::HAS_DATA).or_else([](auto) {
            fprintf(stderr, "iceoryx: waitset attach failed\n");
        });
    }

    bool open(const Params &p, int side) noexcept override {
        payload = p.payload;
        char name[128];
        snprintf(name, sizeof name, "peers-fan-%d-%d", side, int(getpid()));
        iox::runtime::PoshRuntime::initRuntime(
            iox::RuntimeName_t(iox::cxx::TruncateToCapacity, name));
        ws = std::make_unique<iox::popo::WaitSet<>>();
        const uint64_t limit = now_ns() + 10'000'000'000ull;
        if (side == 0) {
            make_pub("data");
            for (int k = 0; k < subscribers; ++k) add_sub("answer" + std::to_string(k));
            // Every subscriber says hello once it is connected both ways.
            std::vector<bool> said(size_t(subscribers), false);
            for (int left = subscribers; left > 0;) {
                if (now_ns() > limit) return false;
                FanMsg a{};
                if (take_answer(&a)) {
                    if (a.kind == kHello && a.from < said.size() && !said[a.from])
                        said[a.from] = true, --left;
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
            return true;
        }
        me = uint32_t(side - 1);
        make_pub("answer" + std::to_string(me));
        add_sub("data");
        while (!pub->hasSubscribers() ||
               subs[0]->getSubscriptionState() != iox::SubscribeState::SUBSCRIBED) {
            if (now_ns() > limit) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return answer(FanMsg{kHello, 0, me, 0});
    }

    bool publish(const Params &p, const FanMsg &h) noexcept override {
        auto loaned = pub->loan(p.payload);
        if (loaned.has_error()) return false;
        auto *out = static_cast<uint8_t *>(loaned.value());
        fill(out, p.payload, h.seq);
        std::memcpy(out, &h, sizeof h);
        pub->publish(out);
        return true;
    }

    // One answer from any answer topic, taken round-robin; false when none is waiting.
    bool take_answer(FanMsg *a) {
        for (size_t i = 0; i < subs.size(); ++i) {
            auto &s = *subs[(next + i) % subs.size()];
            auto r = s.take();
            if (r.has_error()) continue;
            std::memcpy(a, r.value(), sizeof *a);
            s.release(r.value());
            next = (next + i + 1) % subs.size();
            return true;
        }
        return false;
    }

    bool next_answer(FanMsg *a) noexcept override {
        while (!take_answer(a)) ws->wait();
        return true;
    }

    bool receive(const Params &p, FanMsg *h) noexcept override {
        for (;;) {
            auto r = subs[0]->take();
            if (r.has_error()) {
                ws->wait();
                continue;
            }
            const auto *in = static_cast<const uint8_t *>(r.value());
            consume(in, p.payload);
            std::memcpy(h, in, sizeof *h);
            subs[0]->release(in);
            return true;
        }
    }

    bool answer(const FanMsg &a) noexcept override {
        auto loaned = pub->loan(sizeof a);
        if (loaned.has_error()) return false;
        std::memcpy(loaned.value(), &a, sizeof a);
        pub->publish(loaned.value());
        return true;
    }

    void close() noexcept override {
        // Let the last answers leave before the ports go.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ws.reset();
        subs.clear();
        pub.reset();
    }
};

} // namespace

Result run_fanout_iceoryx(const Params &p, int subscribers) {
    IceoryxFanTransport t;
    t.parent = getpid();
    return run_fanout(p, &t, subscribers);
}

} // namespace peers
