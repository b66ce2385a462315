// Two or three environments in private IPC namespaces ("hosts") joined by their bridges
// through a real nats-server on a free loopback port.
#include "ipc_test.h"
#include "stats.h"
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

namespace {

constexpr const char *kServer = "/usr/sbin/nats-server";

bool eventually(const std::function<bool()> &cond, std::chrono::seconds limit = 20s) {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(50ms))
        if (cond()) return true;
    return false;
}

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// Publishes frames straight onto subjects with the plain text protocol, then waits for the
// server's answer to a PING so that they have been routed.
void publish_raw(int port, const std::vector<std::pair<std::string, std::vector<uint8_t>>> &f) {
    int fd = connect_to(port);
    ASSERT_GE(fd, 0);
    std::string out = "CONNECT {\"verbose\":false}\r\n";
    for (const auto &[subject, bytes] : f)
        out += "PUB " + subject + " " + std::to_string(bytes.size()) + "\r\n" +
               std::string(bytes.begin(), bytes.end()) + "\r\n";
    out += "PING\r\n";
    ASSERT_EQ(write(fd, out.data(), out.size()), ssize_t(out.size()));
    std::string in;
    char buf[512];
    for (ssize_t n; in.find("PONG") == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0;)
        in.append(buf, std::size_t(n));
    close(fd);
}

class Cluster : public ::testing::Test {
  protected:
    pxrtest::TempDir dir;
    int port = 0;
    pid_t server = -1;
    std::map<std::string, pid_t> hosts;
    std::vector<pid_t> helpers;
    std::string server_args;

    void SetUp() override {
        std::string bridge = std::string(PXR_TOOL_PATH) + "-bridge";
        if (access(kServer, X_OK) != 0 || access(bridge.c_str(), X_OK) != 0)
            GTEST_SKIP() << "nats-server or pxr-bridge missing";
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        close(fd);
    }
    void TearDown() override {
        for (pid_t p : helpers) kill(p, SIGKILL), waitpid(p, nullptr, 0);
        for (auto &[name, p] : hosts) kill(p, SIGTERM), waitpid(p, nullptr, 0);
        stop_server();
        if (HasFailure())
            for (auto &[name, p] : hosts)
                std::cerr << "--- " << name << "\n"
                          << std::ifstream(dir / (name + ".log").c_str()).rdbuf();
    }

    void start_server(const std::string &extra = "") {
        server = fork();
        if (server == 0) {
            std::string cmd = std::string("exec ") + kServer + " -a 127.0.0.1 -p " +
                              std::to_string(port) + " " + extra + " >/dev/null 2>&1";
            execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
            _exit(127);
        }
        ASSERT_TRUE(eventually([&] {
            int fd = connect_to(port);
            return fd >= 0 && close(fd) == 0;
        }));
    }
    void stop_server() {
        if (server > 0) kill(server, SIGKILL), waitpid(server, nullptr, 0);
        server = -1;
    }

    // A host: `pxr load` of a small configuration in a new IPC namespace.
    void start_host(const std::string &name, const std::string &body,
                    const std::string &bridge_extra = "") {
        std::string conf = dir / (name + ".conf").c_str();
        std::ofstream(conf) << "environment atomic\npartition 0 buffers=64 size=64\n"
                            << body << "\nbridge url=nats://127.0.0.1:" << port
                            << " cluster=t node=" << name << " " << bridge_extra << "\n";
        pid_t p = fork();
        if (p == 0) {
            int log = open((dir / (name + ".log").c_str()).c_str(), O_WRONLY | O_CREAT, 0600);
            dup2(log, 1), dup2(log, 2);
            if (unshare(CLONE_NEWIPC) != 0) _exit(126);
            execl(PXR_TOOL_PATH, "pxr", "load", conf.c_str(), nullptr);
            _exit(127);
        }
        hosts[name] = p;
    }
    // Runs body in a child inside the host's IPC namespace; its exit status.
    int in_host(const std::string &name, const std::function<int()> &body, bool wait = true) {
        std::string ns = "/proc/" + std::to_string(hosts[name]) + "/ns/ipc";
        auto enter = [&] {
            int fd = open(ns.c_str(), O_RDONLY);
            return fd >= 0 && setns(fd, CLONE_NEWIPC) == 0 ? body() : 125;
        };
        if (wait) return pxrtest::run_child(enter);
        helpers.push_back(pxrtest::start_child(enter));
        return 0;
    }
    Stats stats(const std::string &name) {
        auto *shared = static_cast<Stats *>(mmap(nullptr, sizeof(Stats), PROT_READ | PROT_WRITE,
                                                 MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        std::memset(shared, 0, sizeof(Stats));
        in_host(name, [&] {
            int id = shmget(kStatsKey, 0, 0);
            void *p = id < 0 ? nullptr : shmat(id, nullptr, SHM_RDONLY);
            if (p == nullptr || p == reinterpret_cast<void *>(-1)) return 1;
            std::memcpy(shared, p, sizeof(Stats));
            return 0;
        });
        Stats s = *shared;
        munmap(shared, sizeof(Stats));
        return s;
    }
    uint64_t count(const std::string &name, Counter c) { return stats(name).counters[c]; }
    // Answers every request to module m on the host (confirm_msg), until killed.
    void echo(const std::string &name, uint32_t m) {
        in_host(
            name,
            [m]() -> int {
                for (;;)
                    if (MSG *in = PXR_receive(m)) confirm_msg(in);
            },
            false);
    }
    void wait_connected(std::initializer_list<const char *> names) {
        for (const char *n : names)
            ASSERT_TRUE(eventually([&] { return stats(n).connected == 1; })) << n;
    }
};

MSG *receive_within(uint32_t m, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(100us))
        if (MSG *msg = PXR_grab(m)) return msg;
    return nullptr;
}

// Sends count messages of len bytes from module me to dst; with a reply bit, waits for each
// answer and checks it. 0 when every answer came back intact.
int exchange(uint32_t me, uint32_t dst, uint16_t len, int count, bool request) {
    for (int i = 0; i < count; ++i) {
        MSG *m = getm(request ? 0x4101 : 0x0101, uint16_t(i),
                      request ? uint16_t(1u << (me & 15)) : 0, len);
        if (m == nullptr) return 2;
        m->src = uint8_t(me), m->dst = uint8_t(dst), m->instance = 77u + unsigned(i);
        for (int k = 0; k < len; ++k) m->param[k] = uint8_t(i + k);
        if (PXR_send(dst, m) != 0) return 3;
        if (!request) continue;
        MSG *a = receive_within(me, 5s);
        if (a == nullptr) return 4;
        bool ok = a->type == 0x0101 && a->id == uint16_t(i) && a->len == len && a->src == dst &&
                  a->instance == 77u + unsigned(i);
        for (int k = 0; k < len && ok; ++k) ok = a->param[k] == uint8_t(i + k);
        relm(a);
        if (!ok) return 5;
    }
    return 0;
}

constexpr const char *kBig = "partition 1 buffers=16 size=16384\n";

} // namespace

TEST_F(Cluster, requests_are_confirmed_across_and_modules_are_discovered) {
    start_server();
    start_host("A", std::string(kBig) + "queue 0x21\nremote 0x20");
    start_host("B", std::string(kBig) + "queue 0x20\nremote 0x21");
    start_host("C", "queue 0x23"); // learned by discovery; its partitions hold 64 bytes
    wait_connected({"A", "B", "C"});
    echo("B", 0x20);
    for (uint16_t len : {0, 64, 1024, 16384})
        EXPECT_EQ(in_host("A", [&] { return exchange(0x21, 0x20, len, 20, true); }), 0) << len;
    EXPECT_EQ(count("B", delivered), 80u);
    EXPECT_EQ(count("A", delivered), 80u);

    ASSERT_TRUE(eventually([&] { return stats("A").remote_modules == 2; }));
    EXPECT_EQ(in_host("A", [] { return exchange(0x21, 0x23, 60, 3, false); }), 0);
    EXPECT_EQ(in_host("A", [] { return exchange(0x21, 0x23, 1024, 2, false); }), 0);
    EXPECT_TRUE(eventually([&] { return count("C", lost_too_large) == 2; }));
    EXPECT_EQ(count("C", delivered), 3u);
    EXPECT_EQ(count("A", lost_no_connection) + count("A", lost_unknown_module), 0u);

    start_host("D", "queue 0x23"); // a second host claims 0x23: reported, route withdrawn
    ASSERT_TRUE(eventually([&] { return count("A", clashes) >= 1; }));
    EXPECT_TRUE(eventually([&] { return stats("A").remote_modules == 1; }));
}

TEST_F(Cluster, malformed_frames_are_counted_and_dropped) {
    start_server();
    start_host("B", "queue 0x20");
    wait_connected({"B"});
    echo("B", 0x20);
    std::vector<uint8_t> good, bad_version, short_len, wrong_dst;
    const uint8_t param[4] = {1, 2, 3, 4};
    encode_message(WireMessage{9, 0x0101, 1, 0x21, 0x20, 0, 0, 0, 0, 0, param}, good);
    bad_version = short_len = good;
    bad_version[2] = 2;
    short_len.pop_back();
    encode_message(WireMessage{9, 0x0101, 1, 0x21, 0x21, 0, 0, 0, 0, 0, param}, wrong_dst);
    publish_raw(port, {{"t.m.32", {'h', 'i'}},
                       {"t.m.32", bad_version},
                       {"t.m.32", short_len},
                       {"t.m.32", wrong_dst},
                       {"t.announce", {'P', 'X', 1, 2}},
                       {"t.m.32", good}});
    EXPECT_TRUE(eventually([&] { return count("B", malformed) == 5; }));
    EXPECT_TRUE(eventually([&] { return count("B", delivered) == 1; }));
}

TEST_F(Cluster, a_server_restart_loses_a_counted_stretch_and_traffic_resumes) {
    start_server();
    start_host("A", "queue 0x21\nremote 0x20");
    start_host("B", "queue 0x20\nremote 0x21");
    wait_connected({"A", "B"});
    echo("B", 0x20);
    constexpr int kSent = 4000;
    std::thread restart([&] {
        std::this_thread::sleep_for(300ms);
        stop_server();
        std::this_thread::sleep_for(1s);
        start_server();
    });
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(in_host("A",
                      [] {
                          for (int i = 0; i < kSent / 10; ++i) { // bursts the pool can hold
                              if (int r = exchange(0x21, 0x20, 32, 10, false)) return r;
                              std::this_thread::sleep_for(5ms);
                          }
                          return 0;
                      }),
              0);
    restart.join();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 30s); // never blocked by the outage
    wait_connected({"A", "B"});
    const Stats a = stats("A"), b = stats("B");
    EXPECT_GE(a.counters[reconnects], 1u);
    EXPECT_GT(a.counters[lost_no_connection], 0u);
    EXPECT_LE(b.counters[delivered] + a.counters[lost_no_connection], uint64_t(kSent));
    ASSERT_TRUE(eventually([&] { return count("B", reconnects) >= 1; }));
    EXPECT_EQ(in_host("A", [] { return exchange(0x21, 0x20, 32, 50, true); }), 0);
}

TEST_F(Cluster, refused_credentials_leave_the_bridge_disconnected_and_say_nothing_secret) {
    start_server("--user bridge --pass right-secret-1");
    for (auto [name, password] : {std::pair{"A", "wrong-secret-2"}, {"B", "right-secret-1"}}) {
        std::string creds = dir / (std::string(name) + ".creds").c_str();
        std::ofstream(creds) << "user=bridge\npassword=" << password << "\n";
        chmod(creds.c_str(), 0600);
        start_host(name, name[0] == 'A' ? "queue 0x21\nremote 0x20" : "queue 0x20",
                   "credentials=" + creds);
    }
    wait_connected({"B"});
    ASSERT_TRUE(eventually([&] { return stats("A").last_error[0] != '\0'; }));
    EXPECT_EQ(stats("A").connected, 0u);
    EXPECT_EQ(in_host("A", [] { return exchange(0x21, 0x20, 8, 5, false); }), 0);
    EXPECT_TRUE(eventually([&] { return count("A", lost_no_connection) == 5; }));
    std::stringstream logs;
    logs << std::ifstream(dir / "A.log").rdbuf() << std::ifstream(dir / "B.log").rdbuf();
    EXPECT_EQ(logs.str().find("secret"), std::string::npos) << logs.str();
}
