// Environments in private IPC namespaces ("hosts") joined by their bridges through a real
// nats-server on a free loopback port.
#include "ipc_test.h"

#include "env/pxr_internal.h"
#include "bridge_stats.h"
#include "sign.h"
#include "wire.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sched.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace pxrbridge;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

bool eventually(const std::function<bool()> &cond, std::chrono::seconds limit = 20s) {
    for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(50ms))
        if (cond()) return true;
    return false;
}

// A loopback TCP socket: connected to port, or (port 0) bound to a free port.
int loopback(int port, int *bound = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    auto *sa = reinterpret_cast<sockaddr *>(&a);
    if (bound ? bind(fd, sa, len) || getsockname(fd, sa, &len) : connect(fd, sa, len))
        return close(fd), -1;
    if (bound) *bound = ntohs(a.sin_port);
    return fd;
}

// Publishes frames straight onto subjects with the text protocol; the PONG to the final PING
// means they have been routed.
void publish_raw(int port, const std::vector<std::pair<std::string, std::vector<uint8_t>>> &f) {
    int fd = loopback(port);
    std::string out = "CONNECT {\"verbose\":false}\r\n", in;
    for (const auto &[subject, bytes] : f)
        out += "PUB " + subject + " " + std::to_string(bytes.size()) + "\r\n" +
               std::string(bytes.begin(), bytes.end()) + "\r\n";
    out += "PING\r\n";
    ASSERT_EQ(write(fd, out.data(), out.size()), ssize_t(out.size()));
    char buf[512];
    for (ssize_t n; in.find("PONG") == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0;)
        in.append(buf, std::size_t(n));
    close(fd);
}

// Sends count messages of len bytes from module me to dst; with request, waits for each
// answer and checks it. 0 when all went (and came back) intact.
int exchange(uint32_t me, uint32_t dst, uint16_t len, int count, bool request) {
    for (int i = 0; i < count; ++i) {
        MSG *m = getm(request ? 0x4101 : 0x0101, uint16_t(i),
                      request ? uint16_t(1u << (me & 15)) : 0, len);
        if (m == nullptr) return 2;
        m->src = uint8_t(me), m->dst = uint8_t(dst), m->instance = 77u + unsigned(i);
        for (int k = 0; k < len; ++k) m->param[k] = uint8_t(i + k);
        if (PXR_send(dst, m) != 0) return 3;
        if (!request) continue;
        MSG *a = PXR_timed_receive(me, 5000);
        if (a == nullptr) return 4;
        bool ok = a->type == 0x0101 && a->id == uint16_t(i) && a->len == len && a->src == dst &&
                  a->instance == 77u + unsigned(i);
        for (int k = 0; k < len && ok; ++k) ok = a->param[k] == uint8_t(i + k);
        relm(a);
        if (!ok) return 5;
    }
    return 0;
}

// Sends messages numbered 1 to count (in instance) from me to dst, a pause of 1 ms after
// every per_ms of them; waits for a buffer and for room in a full queue.
int send_numbered(uint32_t me, uint32_t dst, unsigned count, unsigned per_ms) {
    for (unsigned i = 1; i <= count; ++i) {
        uint32_t size = 8;
        MSG *m = nullptr;
        while (PXR_try_getmem(0, &size, &m) != 0) size = 8, std::this_thread::sleep_for(1ms);
        m->type = 0x0101, m->len = 0, m->src = uint8_t(me), m->dst = uint8_t(dst);
        for (m->instance = i; PXR_send(dst, m) != 0;) std::this_thread::sleep_for(20ms);
        if (i % per_ms == 0) std::this_thread::sleep_for(1ms);
    }
    return 0;
}

// Receives count messages numbered from 1 on module m: 0 when each came once and in order.
int receive_in_order(uint32_t m, unsigned count) {
    for (unsigned next = 1; next <= count; ++next) {
        MSG *in = PXR_timed_receive(m, 30000);
        if (in == nullptr || in->instance != next) return in == nullptr ? 2 : 3;
        relm(in);
    }
    MSG *extra = PXR_timed_receive(m, 1000);
    return extra == nullptr ? 0 : 4;
}

class Cluster : public ::testing::Test {
  protected:
    pxrtest::TempDir dir;
    int port = 0;
    pid_t server = -1;
    std::map<std::string, pid_t> hosts;
    std::vector<pid_t> helpers;
    std::string scheme = "nats";

    void SetUp() override {
        if (access("/usr/sbin/nats-server", X_OK) || access(PXR_TOOL_PATH "-bridge", X_OK))
            GTEST_SKIP() << "nats-server or pxr-bridge missing";
        close(loopback(0, &port));
    }
    void TearDown() override {
        for (pid_t p : helpers) kill(p, SIGKILL), waitpid(p, nullptr, 0);
        for (auto &[name, p] : hosts) stop_host(name);
        stop_server();
        for (auto &[name, p] : hosts)
            if (HasFailure()) std::cerr << name << ":\n" << std::ifstream(log(name)).rdbuf();
    }
    std::string log(const std::string &name) { return dir / (name + ".log").c_str(); }

    void start_server(const std::string &extra = "") {
        std::string cmd = "exec /usr/sbin/nats-server -a 127.0.0.1 -p " + std::to_string(port) +
                          " " + extra + " >/dev/null 2>&1";
        if ((server = fork()) == 0) execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
        ASSERT_TRUE(eventually([&] { return close(loopback(port)) == 0; }));
    }
    void stop_server() {
        if (server > 0) kill(server, SIGKILL), waitpid(server, nullptr, 0);
        server = -1;
    }

    // A host: `pxr load` of a small configuration in a new IPC namespace.
    void start_host(const std::string &name, const std::string &body,
                    const std::string &bridge_extra = "") {
        std::string conf = dir / (name + ".conf").c_str();
        std::ofstream(conf) << "environment atomic\npartition 0 buffers=256 size=64\n"
                            << body << "\nbridge url=" << scheme << "://127.0.0.1:" << port
                            << " cluster=t node=" << name << " " << bridge_extra << "\n";
        if ((hosts[name] = fork()) == 0) {
            int fd = open(log(name).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(fd, 1), dup2(fd, 2);
            if (unshare(CLONE_NEWIPC) == 0)
                execl(PXR_TOOL_PATH, "pxr", "load", conf.c_str(), nullptr);
            _exit(127);
        }
    }
    void stop_host(const std::string &name) {
        if (hosts[name] > 0) kill(hosts[name], SIGTERM), waitpid(hosts[name], nullptr, 0);
        hosts[name] = -1;
    }
    // Starts body in a child inside the host's IPC namespace.
    pid_t spawn_in(const std::string &name, const std::function<int()> &body) {
        std::string ns = "/proc/" + std::to_string(hosts[name]) + "/ns/ipc";
        return pxrtest::start_child([&] {
            int fd = open(ns.c_str(), O_RDONLY);
            return fd >= 0 && setns(fd, CLONE_NEWIPC) == 0 ? body() : 125;
        });
    }
    int in_host(const std::string &name, const std::function<int()> &body) {
        return pxrtest::wait_child(spawn_in(name, body));
    }
    Stats stats(const std::string &name) {
        auto *s = static_cast<Stats *>(mmap(nullptr, sizeof(Stats), PROT_READ | PROT_WRITE,
                                            MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        std::memset(s, 0, sizeof(Stats));
        in_host(name, [&] {
            void *p = shmat(shmget(kStatsKey, 0, 0), nullptr, SHM_RDONLY);
            return p == reinterpret_cast<void *>(-1) ? 1 : (std::memcpy(s, p, sizeof *s), 0);
        });
        Stats copy = *s;
        munmap(s, sizeof(Stats));
        return copy;
    }
    uint64_t count(const std::string &name, Counter c) { return stats(name).counters[c]; }
    // Answers every request to module m on the host, until killed.
    void echo(const std::string &name, uint32_t m) {
        helpers.push_back(spawn_in(name, [m]() -> int {
            for (;;)
                if (MSG *in = PXR_receive(m)) confirm_msg(in);
        }));
    }
    // A server, then host B and host A, each of which learns one remote module.
    void two_hosts(const std::string &b_body, const std::string &a_body) {
        start_server();
        start_host("B", b_body);
        start_host("A", a_body);
        wait_remote("B", 1), wait_remote("A", 1);
    }

    // An acknowledged stream of sent messages from 0x21 on A to 0x20 on B, with fault done
    // meanwhile: every message arrives once and in order.
    template <class Fault>
    void acked_stream(unsigned sent, Fault fault) {
        two_hosts("queue 0x20", "queue 0x21\nremote 0x20 acked");
        pid_t receiver = spawn_in("B", [=] { return receive_in_order(0x20, sent); });
        pid_t sender = spawn_in("A", [=] { return send_numbered(0x21, 0x20, sent, 1); });
        fault();
        EXPECT_EQ(pxrtest::wait_child(sender), 0);
        EXPECT_EQ(pxrtest::wait_child(receiver), 0) << "2: missing, 3: out of order, 4: twice";
    }
    void wait_remote(const std::string &name, unsigned connected_with_remotes) {
        ASSERT_TRUE(eventually([&] {
            Stats s = stats(name);
            return s.connected == 1 && s.remote_modules == connected_with_remotes;
        })) << name;
    }
};

} // namespace

TEST_F(Cluster, requests_cross_both_ways_and_discovery_follows_hosts_that_come_and_go) {
    start_server();
    const std::string big = "partition 1 buffers=16 size=16384\n";
    start_host("A", big + "queue 0x21 0x24");
    start_host("B", big + "queue 0x20 0x22");
    start_host("C", "queue 0x23"); // its partition holds 64 bytes
    wait_remote("A", 3), wait_remote("B", 3), wait_remote("C", 4);
    echo("B", 0x20), echo("A", 0x24);
    for (uint16_t len : {0, 64, 1024, 16384}) {
        pid_t back = spawn_in("B", [&] { return exchange(0x22, 0x24, len, 20, true); });
        EXPECT_EQ(in_host("A", [&] { return exchange(0x21, 0x20, len, 20, true); }), 0) << len;
        EXPECT_EQ(pxrtest::wait_child(back), 0) << len;
    }
    EXPECT_EQ(count("B", delivered), 160u);
    EXPECT_EQ(count("A", delivered), 160u);

    EXPECT_EQ(in_host("A", [] { return exchange(0x21, 0x23, 60, 3, false); }), 0);
    EXPECT_EQ(in_host("A", [] { return exchange(0x21, 0x23, 1024, 2, false); }), 0);
    EXPECT_TRUE(eventually([&] { return count("C", lost_too_large) == 2; }));
    EXPECT_EQ(count("C", delivered), 3u);
    EXPECT_EQ(count("A", lost_no_connection) + count("A", lost_unknown_module), 0u);

    start_host("D", "queue 0x23"); // a second claim on 0x23: reported, route withdrawn
    ASSERT_TRUE(eventually([&] { return count("A", clashes) >= 1; }));
    wait_remote("A", 2);
    stop_host("C"); // D's claim alone is left: routed to D
    wait_remote("A", 3);
    stop_host("D");
    wait_remote("A", 2);
}

TEST_F(Cluster, malformed_frames_and_gaps_in_a_route_are_counted) {
    start_server();
    start_host("B", "queue 0x20");
    wait_remote("B", 0);
    echo("B", 0x20);
    const uint8_t param[4] = {1, 2, 3, 4};
    // acked: behind frames before this one still unacknowledged (0xFFFF: an at-most-once frame)
    auto frame = [&](uint32_t epoch, uint32_t seq, uint8_t dst = 0x20, uint32_t origin = 9,
                     uint16_t behind = 0xFFFF) {
        std::vector<uint8_t> f;
        encode_message(WireMessage{origin, 0x0101, 1, 0x21, dst, 0, 0, 0, 0, 0, epoch, seq, param,
                                   behind == 0xFFFF ? uint16_t(0) : kMessageAcked,
                                   behind == 0xFFFF ? uint16_t(0) : behind},
                       f);
        return f;
    };
    WireAnnounce node9; // frames of a node that has not announced itself are refused
    node9.origin = 9, node9.generation = 5, node9.name = "F";
    std::vector<uint8_t> hello;
    ASSERT_TRUE(encode_announce(node9, hello));
    publish_raw(port, {{"t.announce", hello}});
    std::vector<uint8_t> good = frame(5, 1), bad_version = good, short_len = good;
    bad_version[2] = 3;
    short_len.pop_back();
    std::vector<uint8_t> batch, bad_count; // two good frames in one batch; a wrong count
    start_batch(batch, 9);
    append_to_batch(batch, frame(5, 2)), append_to_batch(batch, frame(5, 3));
    finish_batch(batch, 2);
    (bad_count = batch)[9] = 3;
    std::vector<uint8_t> unsequenced; // as a bridge of the first wire version sends
    encode_message(WireMessage{9, 0x0101, 1, 0x21, 0x20, 0, 0, 0, 0, 0, 0, 0, param}, unsequenced);
    publish_raw(port, {{"t.m.32", {'h', 'i'}},
                       {"t.m.32", bad_version},
                       {"t.m.32", short_len},
                       {"t.m.32", frame(5, 4, 0x21)}, // its subject names another module
                       {"t.announce", {'P', 'X', 1, 2}},
                       {"t.m.32", bad_count},
                       {"t.m.32", good},
                       {"t.m.32", batch},
                       {"t.m.32", unsequenced},
                       {"t.m.32", frame(5, 7)}, // 4, 5 and 6 lost on the way
                       {"t.m.32", frame(5, 2)}, // late: neither a gap nor a reset
                       {"t.m.32", frame(6, 1)}, // the sender started again: no gap
                       {"t.m.32", frame(6, 3)}, // 2 lost
                       {"t.m.32", frame(1, 1, 0x20, 10)},
                       // Acknowledged: a frame forged 1,000 ahead, or of another epoch that
                       // does not begin a window, moves nothing: 3 follows 2.
                       {"t.m.32", frame(7, 1, 0x20, 9, 0)},
                       {"t.m.32", frame(7, 2, 0x20, 9, 0)},
                       {"t.m.32", frame(7, 1002, 0x20, 9, 0)},
                       {"t.m.32", frame(8, 5, 0x20, 9, 0)},
                       {"t.m.32", frame(7, 3, 0x20, 9, 0)},
                       {"t.m.32", frame(7, 1, 0x20, 10, 0)}});
    EXPECT_TRUE(eventually([&] { return count("B", delivered) == 11; }));
    EXPECT_EQ(count("B", malformed), 6u);
    EXPECT_EQ(count("B", lost_in_transit), 4u);
    EXPECT_EQ(count("B", refused_ahead), 1u);
    EXPECT_EQ(count("B", refused_origin), 3u);
    EXPECT_EQ(count("B", duplicates), 0u);

    // Every buffer taken (the lock-free pool keeps its last one back): a message from afar is
    // counted as lost, and the environment goes on.
    int taken[2];
    ASSERT_EQ(pipe(taken), 0);
    helpers.push_back(spawn_in("B", [&] {
        uint32_t size = 4;
        for (int pass = 0; pass < 3; ++pass, usleep(100000)) // the echo may still release some
            for (MSG *m = nullptr; PXR_try_getmem(0, &size, &m) == 0;) size = 4;
        return write(taken[1], "x", 1) == 1 ? pause() : 1;
    }));
    char c;
    ASSERT_EQ(read(taken[0], &c, 1), 1);
    publish_raw(port, {{"t.m.32", good}});
    EXPECT_TRUE(eventually([&] { return count("B", lost_no_buffer) == 1; }));
    EXPECT_EQ(in_host("B", [] { return PXR_link() == 0 ? int(common_ptr->fatal_code) : 99; }), 0)
        << "the bridge raised a fatal event";
    close(taken[0]), close(taken[1]);
}

TEST_F(Cluster, restarts_of_the_server_and_of_a_bridge_lose_only_what_is_counted) {
    start_server();
    // A client started with its host sends at once: its first request is answered.
    const std::string examples = std::string(PXR_TOOL_PATH).erase(std::strlen(PXR_TOOL_PATH) - 9);
    start_host("B", "queue 0x20\nremote 0x21\nspawn " + examples + "examples/pong 0x20");
    wait_remote("B", 1);
    start_host("A", "queue 0x21\nremote 0x20\nspawn " + examples + "examples/ping 0x21 0x20 3");
    int status = -1;
    EXPECT_TRUE(eventually([&] { return waitpid(hosts["A"], &status, WNOHANG) == hosts["A"]; }));
    hosts["A"] = -1;
    EXPECT_EQ(status, 0);
    std::stringstream ping_log;
    ping_log << std::ifstream(log("A")).rdbuf();
    EXPECT_NE(ping_log.str().find("ping: 3 round trips"), std::string::npos);

    start_host("A", "queue 0x21\nremote 0x20");
    wait_remote("A", 1);
    const Stats b0 = stats("B");
    constexpr int kSent = 4000;
    std::thread restart([&] {
        std::this_thread::sleep_for(300ms);
        stop_server();
        std::this_thread::sleep_for(1s);
        start_server();
    });
    auto began = Clock::now();
    EXPECT_EQ(in_host("A",
                      [] {
                          for (int i = 0; i < kSent / 10; ++i) {  // bursts the pool can hold
                              while (PXR_pending_msgs(0xfe) > 64) // a bridge kept off the CPU
                                  std::this_thread::sleep_for(5ms);
                              if (int r = exchange(0x21, 0x20, 32, 10, false)) return r;
                              std::this_thread::sleep_for(5ms);
                          }
                          return 0;
                      }),
              0);
    restart.join();
    EXPECT_LT(Clock::now() - began, 30s); // never blocked by the outage
    wait_remote("A", 1), wait_remote("B", 1);
    EXPECT_GE(count("A", reconnects), 1u);
    EXPECT_EQ(in_host("A", [] { return exchange(0x21, 0x20, 32, 50, true); }), 0);

    // B's bridge killed under a steady stream: the loader starts it again as the same node, A
    // keeps its route, and what A forwarded while B's bridge was away shows as a gap on B.
    helpers.push_back(spawn_in("A", []() -> int {
        for (;;) exchange(0x21, 0x20, 8, 1, false), std::this_thread::sleep_for(5ms);
    }));
    const int32_t killed = stats("B").pid;
    kill(killed, SIGKILL);
    const auto killed_at = Clock::now();
    // Traffic again: the new bridge has subscribed, and a message came after that (what it
    // finishes of its predecessor's delivery is counted before).
    ASSERT_TRUE(eventually([&] {
        Stats s = stats("B");
        return s.pid != killed && s.ready == 1;
    }));
    const uint64_t before = count("B", delivered);
    ASSERT_TRUE(eventually([&] { return count("B", delivered) > before; }));
    std::cerr
        << "traffic to the restarted bridge again after "
        << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed_at).count()
        << " ms\n";
    kill(helpers.back(), SIGKILL), waitpid(helpers.back(), nullptr, 0), helpers.pop_back();
    EXPECT_EQ(in_host("A", [] { return exchange(0x21, 0x20, 32, 50, true); }), 0);
    EXPECT_EQ(count("A", clashes) + count("B", clashes), 0u);
    // Every message A handed to NATS was delivered on B or counted there as lost, and back.
    const Stats a = stats("A"), b = stats("B");
    auto arrived = [](const Stats &s) { // delivered, or counted as lost by the receiving side
        uint64_t n = s.counters[delivered];
        for (Counter c : {lost_in_transit, lost_no_buffer, lost_too_large, lost_send_failed})
            n += s.counters[c];
        return n;
    };
    EXPECT_GT(b.counters[lost_in_transit], b0.counters[lost_in_transit]);
    EXPECT_EQ(a.counters[forwarded], arrived(b) - arrived(b0));
    EXPECT_EQ(b.counters[forwarded] - b0.counters[forwarded], arrived(a));
}

TEST_F(Cluster, an_acked_module_gets_every_message_once_and_in_order_across_restarts) {
    constexpr unsigned kSent = 3000;
    // The receiving bridge, the server and the sending bridge each go away once mid-stream.
    acked_stream(kSent, [this] {
        std::this_thread::sleep_for(500ms);
        kill(stats("B").pid, SIGKILL);
        std::this_thread::sleep_for(700ms);
        stop_server(), std::this_thread::sleep_for(500ms), start_server();
        std::this_thread::sleep_for(500ms);
        kill(stats("A").pid, SIGKILL);
    });
    EXPECT_GT(count("A", resent), 0u);
    EXPECT_EQ(count("B", delivered), kSent);
}

TEST_F(Cluster, a_restarted_sending_bridge_keeps_a_routes_order_and_counts_what_it_loses) {
    two_hosts("queue 0x22", "queue 0x21\nremote 0x22");
    constexpr unsigned kSent = 6000;
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t receiver = spawn_in("B", [&] {
        uint32_t got[2] = {0, 0}, last = 0; // received, and out of order
        for (MSG *m; (m = PXR_timed_receive(0x22, 5000)) != nullptr; relm(m))
            got[1] += m->instance <= last, last = m->instance, ++got[0];
        return write(out[1], got, sizeof got) == sizeof got ? 0 : 1;
    });
    pid_t sender = spawn_in("A", [] { return send_numbered(0x21, 0x22, kSent, 20); });
    std::this_thread::sleep_for(300ms); // the restarted bridge holds what comes meanwhile
    kill(stats("A").pid, SIGKILL);
    EXPECT_EQ(pxrtest::wait_child(sender), 0);
    EXPECT_EQ(pxrtest::wait_child(receiver), 0);
    uint32_t got[2] = {};
    ASSERT_EQ(read(out[0], got, sizeof got), ssize_t(sizeof got));
    close(out[0]), close(out[1]);
    EXPECT_EQ(got[1], 0u) << "out of order";
    const Stats a = stats("A"), b = stats("B");
    uint64_t counted = 0;
    for (Counter c : {lost_no_connection, lost_bridge_killed, lost_unknown_module})
        counted += a.counters[c];
    for (Counter c : {lost_in_transit, lost_no_buffer, lost_send_failed, refused_origin})
        counted += b.counters[c];
    EXPECT_EQ(b.counters[delivered], got[0]);
    EXPECT_EQ(got[0] + counted, kSent) << "lost without a count";
}

TEST_F(Cluster, a_stopped_receiving_bridge_costs_a_few_resends_not_the_window_again) {
    constexpr unsigned kSent = 2000;
    acked_stream(kSent, [this] {
        std::this_thread::sleep_for(300ms);
        const int32_t stopped = stats("B").pid;
        kill(stopped, SIGSTOP), std::this_thread::sleep_for(3s), kill(stopped, SIGCONT);
    });
    EXPECT_LE(count("A", resent), kSent / 5);
}

TEST_F(Cluster, with_a_cluster_key_only_signed_frames_are_taken) {
    start_server();
    const std::string key = dir / "cluster.key";
    std::ofstream(key) << "a-key-of-the-cluster-1234\n";
    chmod(key.c_str(), 0600);
    start_host("B", "queue 0x20", "key=" + key);
    start_host("A", "queue 0x21", "key=" + key);
    wait_remote("B", 1), wait_remote("A", 1); // signed announcements are taken
    echo("B", 0x20);
    EXPECT_EQ(in_host("A", [] { return exchange(0x21, 0x20, 16, 20, true); }), 0);
    std::vector<uint8_t> unsigned_frame, forged = {'P', 'X'};
    const uint8_t param[1] = {7};
    encode_message(WireMessage{9, 0x0101, 1, 0x21, 0x20, 0, 0, 0, 0, 0, 1, 1, param},
                   unsigned_frame);
    forged.resize(unsigned_frame.size() + kTagBytes); // a tag of zeros
    std::copy(unsigned_frame.begin(), unsigned_frame.end(), forged.begin());
    publish_raw(port, {{"t.m.32", unsigned_frame}, {"t.m.32", forged}, {"t.announce", {1}}});
    EXPECT_TRUE(eventually([&] { // the announcement reaches both
        return count("B", refused_signature) == 3 && count("A", refused_signature) == 1;
    }));
    EXPECT_EQ(count("B", delivered), 20u);
    EXPECT_EQ(count("B", malformed), 0u);
}

TEST_F(Cluster, refused_credentials_or_an_untrusted_server_leave_the_bridge_disconnected) {
    const std::string cert = dir / "cert.pem", key = dir / "key.pem";
    if (std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost "
                     "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                     key + " -out " + cert + " 2>/dev/null")
                        .c_str()) != 0)
        GTEST_SKIP() << "no openssl";
    start_server("--tls --tlscert " + cert + " --tlskey " + key + " --tlsverify --tlscacert " +
                 cert + " --user bridge --pass right-secret-1");
    scheme = "tls";
    // A: wrong password; C: no trusted CA; D: no client certificate; E: no credentials. B has
    // everything.
    for (const char *name : {"A", "B", "C", "D", "E"}) {
        std::string creds = dir / (std::string(name) + ".creds").c_str();
        std::ofstream(creds) << "user=bridge\npassword="
                             << (name[0] == 'A' ? "wrong-secret-2" : "right-secret-1") << "\n";
        chmod(creds.c_str(), 0600);
        start_host(name, name[0] == 'A' ? "queue 0x21\nremote 0x20" : "queue 0x20",
                   (name[0] == 'E' ? "" : "credentials=" + creds) +
                       (name[0] == 'C' ? "" : " tls-ca=" + cert) +
                       (name[0] == 'D' ? "" : " tls-cert=" + cert + " tls-key=" + key));
    }
    wait_remote("B", 0);
    for (auto [name, says] : {std::pair{"A", "refused the credentials"},
                              {"C", "TLS"},
                              {"D", "TLS"},
                              {"E", "none were given"}}) {
        ASSERT_TRUE(eventually([&] { return stats(name).last_error[0] != '\0'; })) << name;
        const Stats s = stats(name);
        EXPECT_EQ(s.connected, 0u) << name;
        EXPECT_NE(std::string(s.last_error).find(says), std::string::npos) << s.last_error;
    }
    EXPECT_EQ(in_host("A", [] { return exchange(0x21, 0x20, 8, 5, false); }), 0);
    EXPECT_TRUE(eventually([&] { return count("A", lost_no_connection) == 5; }));
    std::stringstream logs;
    for (const char *name : {"A", "B", "C", "D"}) logs << std::ifstream(log(name)).rdbuf();
    EXPECT_EQ(logs.str().find("secret"), std::string::npos) << logs.str();
}
