// pxr metrics: the exposition text of a live environment, and the same text scraped over HTTP
// from `pxr metrics --listen` started on a free port.
#include "ipc_test.h"
#include "tool.h"

#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

class Metrics : public pxrtest::IpcTest {};

bool has(const std::string &text, const std::string &line) {
    return text.find("\n" + line + "\n") != std::string::npos;
}

std::string output_of(const char *command) {
    std::fflush(nullptr);
    std::string out;
    if (FILE *f = popen(command, "r")) {
        char buf[512];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
        EXPECT_EQ(pclose(f), 0) << command;
    }
    return out;
}

// Starts `pxr metrics --listen 127.0.0.1:0` and reads the port it reports.
pid_t start_server(int &port) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        execl(PXR_TOOL_PATH, PXR_TOOL_PATH, "metrics", "--listen", "127.0.0.1:0", nullptr);
        _exit(127);
    }
    close(fds[1]);
    FILE *out = fdopen(fds[0], "r");
    char line[256] = "";
    port = 0;
    if (std::fgets(line, sizeof line, out) != nullptr)
        std::sscanf(line, "pxr metrics: serving http://127.0.0.1:%d/metrics", &port);
    std::fclose(out);
    return pid;
}

TEST_F(Metrics, ExpositionFollowsTheEnvironmentAndIsServedOverHttp) {
    EXPECT_TRUE(has("\n" + pxrtool::metrics_text(), "pxr_up 0"));

    pxrtest::EnvSpec spec;
    spec.init_flags = PXR_INIT_ATOMIC;
    spec.buffers0 = 16;
    ASSERT_TRUE(pxrtest::create_running_environment(spec));
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

    int port = 0;
    pid_t server = start_server(port);
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
    std::string out = output_of(PXR_TOOL_PATH " watch --interval 0.2 --count 2 2>/dev/null");
    int titles = 0;
    for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        EXPECT_LE(end - at, 80u) << out.substr(at, end - at);
        titles += out.compare(at, 9, "pxr watch") == 0;
    }
    EXPECT_EQ(titles, 2) << out;
    EXPECT_NE(out.find("\n0x20            1"), std::string::npos) << out;
    EXPECT_NE(out.find("running  "), std::string::npos) << out;

    // JSON: a time never written is null; the buffer waiting in the queue is listed.
    out = output_of(PXR_TOOL_PATH " status --json 2>/dev/null");
    EXPECT_NE(out.find("\"count_since_reset\":0,\"last_onset\":null"), std::string::npos) << out;
    EXPECT_EQ(out.find("\"max_time\":null"), std::string::npos) << out;
    out = output_of(PXR_TOOL_PATH " msgs --json 2>/dev/null");
    EXPECT_EQ(out.rfind("[{\"partition\":0,", 0), 0u) << out;
    EXPECT_NE(out.find("\"type\":256,\"id\":1,\"src\""), std::string::npos) << out;
    relm(PXR_grab(0x20));
}

} // namespace
