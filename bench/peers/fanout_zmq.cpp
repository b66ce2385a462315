// ZeroMQ fan-out: a PUB socket bound on ipc:// with one SUB per subscriber process; the
// answers come back over PUSH sockets into one PULL. PUB drops for a subscriber whose pipe is
// full; ZMQ_XPUB_NODROP makes it refuse the send instead, and the credit window keeps every
// pipe below its high-water mark, so nothing is dropped. A subscription reaches the publisher
// some time after the connect: the publisher sends probes until every subscriber has said it
// receives.
#include "fanout.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>
#include <zmq.h>

namespace peers {

namespace {

struct ZmqFanTransport : FanTransport {
    std::string data_ep, answer_ep;
    void *ctx = nullptr, *data = nullptr, *answers = nullptr;
    uint32_t me = 0;
    std::unique_ptr<Buf> buf;

    void *socket(int type, int hwm_option) noexcept {
        void *s = zmq_socket(ctx, type);
        if (s == nullptr) return nullptr;
        const int hwm = int(kWindow) * 2 + 16, linger = 2000;
        zmq_setsockopt(s, hwm_option, &hwm, sizeof hwm);
        zmq_setsockopt(s, ZMQ_LINGER, &linger, sizeof linger);
        return s;
    }

    bool open(const Params &p, int side) noexcept override {
        buf = std::make_unique<Buf>(p.payload);
        ctx = zmq_ctx_new(); // contexts must not cross fork: each side makes its own
        if (ctx == nullptr) return false;
        if (side == 0) {
            data = socket(ZMQ_PUB, ZMQ_SNDHWM);
            answers = socket(ZMQ_PULL, ZMQ_RCVHWM);
            if (data == nullptr || answers == nullptr) return false;
            const int one = 1;
            zmq_setsockopt(data, ZMQ_XPUB_NODROP, &one, sizeof one);
            return zmq_bind(data, data_ep.c_str()) == 0 &&
                   zmq_bind(answers, answer_ep.c_str()) == 0 && await_subscribers();
        }
        me = uint32_t(side - 1);
        data = socket(ZMQ_SUB, ZMQ_RCVHWM);
        answers = socket(ZMQ_PUSH, ZMQ_SNDHWM);
        if (data == nullptr || answers == nullptr) return false;
        zmq_setsockopt(data, ZMQ_SUBSCRIBE, "", 0);
        if (zmq_connect(data, data_ep.c_str()) != 0 || zmq_connect(answers, answer_ep.c_str()) != 0)
            return false;
        FanMsg h{};
        do
            if (!receive(p, &h)) return false;
        while (h.kind != kProbe);
        return answer(FanMsg{kHello, 0, me, 0});
    }

    // Probes every millisecond until every subscriber has answered one.
    bool await_subscribers() noexcept {
        std::vector<bool> said(size_t(subscribers), false);
        int left = subscribers;
        const uint64_t limit = now_ns() + 10'000'000'000ull;
        while (left > 0 && now_ns() < limit) {
            const FanMsg probe{kProbe, 0, 0, 0};
            zmq_send(data, &probe, sizeof probe, ZMQ_DONTWAIT);
            zmq_pollitem_t item{answers, 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, 1) <= 0) continue;
            FanMsg a{};
            if (zmq_recv(answers, &a, sizeof a, 0) == int(sizeof a) && a.kind == kHello &&
                a.from < said.size() && !said[a.from]) {
                said[a.from] = true;
                --left;
            }
        }
        return left == 0;
    }

    bool publish(const Params &p, const FanMsg &h) noexcept override {
        fill(buf->data(), p.payload, h.seq);
        std::memcpy(buf->data(), &h, sizeof h);
        // With ZMQ_XPUB_NODROP a full pipe refuses the send (EAGAIN) instead of dropping.
        const uint64_t limit = now_ns() + 10'000'000'000ull;
        while (zmq_send(data, buf->data(), p.payload, 0) != int(p.payload)) {
            if ((zmq_errno() != EAGAIN && zmq_errno() != EINTR) || now_ns() > limit) return false;
            usleep(20);
        }
        return true;
    }

    bool next_answer(FanMsg *a) noexcept override {
        for (;;) {
            const int n = zmq_recv(answers, a, sizeof *a, 0);
            if (n == int(sizeof *a)) return true;
            if (n >= 0 || zmq_errno() != EINTR) return false;
        }
    }

    bool receive(const Params &, FanMsg *h) noexcept override {
        for (;;) {
            const int n = zmq_recv(data, buf->data(), buf->size(), 0);
            if (n >= int(sizeof *h) && n <= int(buf->size())) {
                consume(buf->data(), size_t(n));
                std::memcpy(h, buf->data(), sizeof *h);
                return true;
            }
            if (n >= 0 || zmq_errno() != EINTR) return false;
        }
    }

    bool answer(const FanMsg &a) noexcept override {
        for (;;) {
            if (zmq_send(answers, &a, sizeof a, 0) == int(sizeof a)) return true;
            if (zmq_errno() != EINTR) return false;
        }
    }

    void close() noexcept override {
        zmq_close(data);
        zmq_close(answers);
        zmq_ctx_term(ctx);
    }
};

} // namespace

Result run_fanout_zmq(const Params &p, int subscribers) {
    ZmqFanTransport t;
    char path[2][128];
    for (int i = 0; i < 2; ++i)
        snprintf(path[i], sizeof path[i], "ipc:///tmp/peers-fan-%d-%d.ipc", int(getpid()), i);
    t.data_ep = path[0];
    t.answer_ep = path[1];
    Result r = run_fanout(p, &t, subscribers);
    for (auto &e : path) unlink(e + 6);
    return r;
}

} // namespace peers
