// pxr metrics: the exposition text of a live environment, and the same text scraped over HTTP
// from `pxr metrics --listen` started on a free port.
#include "ipc_test.h"
#include "tool.h"

#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

class Metrics : public pxrtest::IpcTest {};

bool has(const std::string &text, const std::string &line) {
    return text.find("\n" + line + "\n") != std::string::npos;
}

// pxr run with args: its standard output, once it has ended with status 0.
std::string output_of(const std::vector<std::string> &args) {
    pxrtest::TempDir dir;
    const pxrtest::PxrRun r = pxrtest::run_pxr(dir, args);
    EXPECT_EQ(r.code, 0) << args[0] << r.err;
    return r.out;
}

TEST_F(Metrics, ExpositionFollowsTheEnvironmentAndIsServedOverHttp) {
    EXPECT_TRUE(has("\n" + pxrtool::metrics_text(), "pxr_up 0"));

    pxrtest::EnvSpec layout;
    layout.init_flags = PXR_INIT_ATOMIC;
    layout.buffers0 = 16;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    ASSERT_EQ(IPC_create(0x20, 1), 0);
    ASSERT_EQ(SYS_add_pid(getpid(), "metrics-test"), 0);
    MSG *m = getm(0x100, 1, 0, 4);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(PXR_send(0x20, m), 0); // left in the queue: one pending, one buffer allocated

    const std::string pid = std::to_string(getpid());
    const std::string expected[] = {
        "pxr_up 1",
        "pxr_environment_atomic 1",
        "pxr_internal_errors_total 0",
        "pxr_partition_buffers{partition=\"0\"} 16",
        "pxr_partition_buffers_free{partition=\"0\"} 15",
        "pxr_partition_buffers_allocated_max{partition=\"0\"} 1",
        "pxr_partition_allocations_total{partition=\"0\"} 1",
        "# TYPE pxr_partition_congestion_onsets_total counter",
        "pxr_queue_messages_pending{module=\"0x20\"} 1",
        "pxr_process_alive{pid=\"" + pid + "\",name=\"metrics-test\"} 1",
    };
    std::string text = pxrtool::metrics_text();
    for (const std::string &line : expected) EXPECT_TRUE(has(text, line)) << line << "\n" << text;

    pxrtest::TempDir dir; // the server reports its port on its first line
    pid_t server = pxrtest::start_pxr(dir, {"metrics", "--listen", "127.0.0.1:0"});
    int port = 0;
    for (int i = 0; i < 500 && port == 0; ++i, usleep(20000)) {
        std::string line;
        std::getline(std::ifstream(dir / "out"), line);
        std::sscanf(line.c_str(), "pxr metrics: serving http://127.0.0.1:%d/metrics", &port);
    }
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    auto res = client.Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    for (const std::string &line : expected) EXPECT_TRUE(has(res->body, line)) << line;
    kill(server, SIGTERM);
    EXPECT_EQ(pxrtest::wait_child(server), 128 + SIGTERM);

    // pxr watch: sub-second rounds, the queue and the process, nothing beyond 80 columns.
    std::string out = output_of({"watch", "--interval", "0.2", "--count", "2"});
    int titles = 0;
    for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        EXPECT_LE(end - at, 80u) << out.substr(at, end - at);
        titles += out.compare(at, 9, "pxr watch") == 0;
    }
    EXPECT_EQ(titles, 2) << out;
    EXPECT_NE(out.find("\n0x20            1"), std::string::npos) << out;
    EXPECT_NE(out.find("running  "), std::string::npos) << out;

    // JSON: a time never written is null; the buffer waiting in the queue is listed.
    out = output_of({"status", "--json"});
    EXPECT_NE(out.find("\"count_since_reset\":0,\"last_onset\":null"), std::string::npos) << out;
    EXPECT_EQ(out.find("\"max_time\":null"), std::string::npos) << out;
    out = output_of({"msgs", "--json"});
    EXPECT_EQ(out.rfind("[{\"partition\":0,", 0), 0u) << out;
    EXPECT_NE(out.find("\"type\":256,\"id\":1,\"src\""), std::string::npos) << out;
    relm(PXR_grab(0x20));
}

} // namespace
