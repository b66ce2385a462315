// pxr-bench-bridge: round trip and one-way throughput across the bridge, and the same two
// measurements with NATS's own request/reply and publish/subscribe between two plain
// processes. Both throughput runs use one flow control: a window of 256 messages, the
// receiver acknowledging every 128.
//
//   pxr-bench-bridge pxr-echo ME                        (in the far environment)
//   pxr-bench-bridge pxr-run ME PEER SIZE COUNT SECONDS (prints: SIZE rtt_us msgs_per_s)
//   pxr-bench-bridge nats-echo URL MODE                 (MODE: default or asap, the
//   pxr-bench-bridge nats-run URL MODE SIZE COUNT SECONDS client's send-at-once option)
//   pxr-bench-bridge pxr-stream ME PEER RATE SECONDS    (numbered messages at RATE per second;
//                                                        prints: sent N refused N)
//   pxr-bench-bridge pxr-count ME IDLE                  (takes them until IDLE seconds pass
//                                                        without one; prints: received N
//                                                        duplicated N)
#include "pxrlib.h"

#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kWindow = 256, kAckEvery = 128;
constexpr uint16_t kData = 0x0102, kAck = 0x0103, kRequest = 0x4101, kNumbered = 0x0104;
volatile uint32_t g_sink; // payload bytes are read, as a real receiver would

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void read_all(const void *p, std::size_t n) {
    uint32_t s = 0;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<const uint8_t *>(p)[i];
    g_sink = s;
}

MSG *make(uint16_t type, uint16_t mask, uint32_t me, uint32_t peer, uint16_t size) {
    MSG *m = getm(type, 0, mask, size);
    if (m == nullptr) std::exit(2); // NOLINT(concurrency-mt-unsafe): a failed run ends here
    m->src = uint8_t(me), m->dst = uint8_t(peer);
    std::memset(m->param, 0x5A, size);
    return m;
}

int pxr_echo(uint32_t me) {
    unsigned seen = 0;
    for (;;) {
        MSG *m = PXR_receive(me);
        if (m == nullptr) continue;
        read_all(m->param, m->len);
        if (m->type & 0x4000) {
            confirm_msg(m);
        } else if (m->type == kData && ++seen % kAckEvery == 0) {
            MSG *ack = make(kAck, 0, me, m->src, 0);
            if (PXR_send(m->src, ack) != 0) relm(ack);
            relm(m);
        } else {
            relm(m);
        }
    }
}

int pxr_run(uint32_t me, uint32_t peer, uint16_t size, int count, double seconds) {
    std::vector<double> rtt;
    for (int i = -count / 10; i < count; ++i) {
        auto t = Clock::now();
        if (PXR_send(peer, make(kRequest, uint16_t(1u << (me & 15)), me, peer, size)) != 0)
            return 3;
        MSG *a = PXR_receive(me);
        if (a == nullptr) return 4;
        read_all(a->param, a->len);
        relm(a);
        if (i >= 0) rtt.push_back(micros(Clock::now() - t));
    }
    uint64_t sent = 0, acked = 0;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        if (sent - acked < kWindow) {
            if (PXR_send(peer, make(kData, 0, me, peer, size)) != 0) return 5;
            ++sent;
            continue;
        }
        MSG *a = PXR_receive(me);
        if (a != nullptr && a->type == kAck) acked += kAckEvery;
        if (a != nullptr) relm(a);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%u %.1f %.0f\n", size, median(rtt), double(acked) / elapsed);
    return 0;
}

// Numbered messages (instance 1, 2, ...) at a steady rate, for the fault row: what the local
// sends refused is not lost on the way.
int pxr_stream(uint32_t me, uint32_t peer, unsigned rate, double seconds) {
    const auto start = Clock::now();
    const auto gap = std::chrono::duration<double>(1.0 / rate);
    const auto total = unsigned(rate * seconds);
    unsigned sent = 0, refused = 0;
    for (unsigned i = 1; i <= total; ++i) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(gap * i));
        MSG *m = getm(kNumbered, 0, 0, 8);
        if (m == nullptr) {
            ++refused;
            continue;
        }
        m->src = uint8_t(me), m->dst = uint8_t(peer), m->instance = i;
        if (PXR_send(peer, m) != 0) {
            relm(m);
            ++refused;
        } else {
            ++sent;
        }
    }
    std::printf("sent %u refused %u\n", sent, refused);
    return 0;
}

int pxr_count(uint32_t me, unsigned idle_s) {
    std::vector<bool> seen;
    unsigned received = 0, duplicated = 0, disordered = 0, highest = 0;
    while (MSG *m = PXR_timed_receive(me, idle_s * 1000)) {
        if (m->type == kNumbered) {
            if (m->instance >= seen.size()) seen.resize(m->instance + 1);
            if (seen[m->instance])
                ++duplicated;
            else if (m->instance < highest)
                ++disordered; // behind a newer one, the first time
            seen[m->instance] = true;
            highest = std::max(highest, m->instance);
            ++received;
        }
        relm(m);
    }
    std::printf("received %u duplicated %u out-of-order %u\n", received, duplicated, disordered);
    return 0;
}

std::string g_prefix; // bench.MODE.: the two client modes run side by side

natsConnection *nats_connect(const char *url, const std::string &mode) {
    g_prefix = "bench." + mode + ".";
    natsOptions *o = nullptr;
    natsConnection *nc = nullptr;
    natsOptions_Create(&o);
    natsOptions_SetURL(o, url);
    if (mode == "asap") natsOptions_SetSendAsap(o, true);        // as the bridge does
    if (natsConnection_Connect(&nc, o) != NATS_OK) std::exit(6); // NOLINT(concurrency-mt-unsafe)
    natsOptions_Destroy(o);
    return nc;
}

void on_request(natsConnection *nc, natsSubscription *, natsMsg *m, void *) {
    read_all(natsMsg_GetData(m), std::size_t(natsMsg_GetDataLength(m)));
    natsConnection_Publish(nc, natsMsg_GetReply(m), natsMsg_GetData(m), natsMsg_GetDataLength(m));
    natsMsg_Destroy(m);
}

void on_data(natsConnection *nc, natsSubscription *, natsMsg *m, void *) {
    static unsigned seen = 0;
    read_all(natsMsg_GetData(m), std::size_t(natsMsg_GetDataLength(m)));
    if (++seen % kAckEvery == 0) natsConnection_Publish(nc, (g_prefix + "ack").c_str(), "", 0);
    natsMsg_Destroy(m);
}

int nats_echo(const char *url, const std::string &mode) {
    natsConnection *nc = nats_connect(url, mode);
    natsSubscription *a = nullptr, *b = nullptr;
    natsConnection_Subscribe(&a, nc, (g_prefix + "rr").c_str(), on_request, nullptr);
    natsConnection_Subscribe(&b, nc, (g_prefix + "tp").c_str(), on_data, nullptr);
    natsSubscription_SetPendingLimits(b, 1 << 20, 1 << 30);
    natsConnection_Flush(nc);
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

std::mutex g_mu;
std::condition_variable g_cv;
uint64_t g_acked = 0;

void on_ack(natsConnection *, natsSubscription *, natsMsg *m, void *) {
    natsMsg_Destroy(m);
    std::lock_guard lock(g_mu);
    g_acked += kAckEvery;
    g_cv.notify_one();
}

int nats_run(const char *url, const std::string &mode, uint16_t size, int count, double seconds) {
    natsConnection *nc = nats_connect(url, mode);
    const std::string rr = g_prefix + "rr", tp = g_prefix + "tp";
    std::vector<char> data(size, 0x5A);
    std::vector<double> rtt;
    for (int i = -count / 10; i < count; ++i) {
        natsMsg *reply = nullptr;
        auto t = Clock::now();
        if (natsConnection_Request(&reply, nc, rr.c_str(), data.data(), size, 5000) != NATS_OK)
            return 7;
        read_all(natsMsg_GetData(reply), std::size_t(natsMsg_GetDataLength(reply)));
        natsMsg_Destroy(reply);
        if (i >= 0) rtt.push_back(micros(Clock::now() - t));
    }
    natsSubscription *acks = nullptr;
    natsConnection_Subscribe(&acks, nc, (g_prefix + "ack").c_str(), on_ack, nullptr);
    natsConnection_Flush(nc);
    uint64_t sent = 0;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        {
            std::unique_lock lock(g_mu);
            g_cv.wait_until(lock, end, [&] { return sent - g_acked < kWindow; });
            if (sent - g_acked >= kWindow) break;
        }
        std::memset(data.data(), 0x5A, size);
        natsConnection_Publish(nc, tp.c_str(), data.data(), size);
        ++sent;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::lock_guard lock(g_mu);
    std::printf("%u %.1f %.0f\n", size, median(rtt), double(g_acked) / elapsed);
    std::fflush(stdout);
    std::_Exit(0); // the client's threads need no orderly shutdown here
}

} // namespace

int main(int argc, char **argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    auto num = [&](int i) { return std::strtoul(argv[i], nullptr, 0); };
    if (mode == "pxr-echo" && argc == 3) return pxr_echo(uint32_t(num(2)));
    if (mode == "pxr-run" && argc == 7)
        return pxr_run(uint32_t(num(2)), uint32_t(num(3)), uint16_t(num(4)), int(num(5)),
                       std::atof(argv[6]));
    if (mode == "nats-echo" && argc == 4) return nats_echo(argv[2], argv[3]);
    if (mode == "nats-run" && argc == 7)
        return nats_run(argv[2], argv[3], uint16_t(num(4)), int(num(5)), std::atof(argv[6]));
    if (mode == "pxr-stream" && argc == 6)
        return pxr_stream(uint32_t(num(2)), uint32_t(num(3)), unsigned(num(4)), std::atof(argv[5]));
    if (mode == "pxr-count" && argc == 4) return pxr_count(uint32_t(num(2)), unsigned(num(3)));
    std::fprintf(stderr, "usage: see the head of bench_bridge.cpp\n");
    return 64;
}
