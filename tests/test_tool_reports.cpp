// The pxr command's reports of one live environment, each against its reference text in
// tests/reports/ (a field that differs from run to run is written {} there); pxr metrics: the
// exposition text, and the same text scraped over HTTP from `pxr metrics --listen` started on
// a free port.
#include "ipc_test.h"
#include "tool.h"

#include <httplib.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

class Metrics : public pxrtest::IpcTest {};
class Reports : public pxrtest::IpcTest {};

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

// A reference line matches when it is the line, {} standing for a value (no blank, comma,
// quote or bracket) and the blanks next to a {} for any run of at least one blank (a column's
// padding follows the width of its value).
bool line_matches(const std::string &reference, const std::string &line) {
    std::string pattern;
    for (std::size_t i = 0; i < reference.size();) {
        if (reference.compare(i, 2, "{}") == 0) {
            pattern += R"([^\s,"\[\]{}]+)", i += 2;
        } else if (reference[i] == ' ') {
            const std::size_t end = reference.find_first_not_of(' ', i);
            const bool padding = (i >= 2 && reference.compare(i - 2, 2, "{}") == 0) ||
                                 (end != std::string::npos && reference.compare(end, 2, "{}") == 0);
            pattern += padding ? std::string(" +") : reference.substr(i, end - i);
            i = end == std::string::npos ? reference.size() : end;
        } else {
            if (std::strchr("\\^$.|?*+()[]{}", reference[i]) != nullptr) pattern += '\\';
            pattern += reference[i++];
        }
    }
    return std::regex_match(line, std::regex(pattern));
}

// The report of `pxr args` against tests/reports/name; a missing reference is written from
// this run, for review, and the test fails.
void expect_report(const std::string &name, const std::vector<std::string> &args) {
    const std::string path = std::string(PXR_TEST_REFERENCE_DIR) + "/" + name;
    const std::string out = output_of(args);
    std::ifstream in(path);
    if (!in) {
        std::ofstream(path) << out;
        ADD_FAILURE() << path << " written: review it";
        return;
    }
    std::istringstream got(out);
    std::string want_line, got_line;
    for (int n = 1; std::getline(in, want_line); ++n) {
        if (!std::getline(got, got_line)) got_line = "(end of output)";
        if (!line_matches(want_line, got_line)) {
            ADD_FAILURE() << name << ":" << n << "\n  want: " << want_line
                          << "\n  got:  " << got_line;
            return;
        }
    }
    EXPECT_FALSE(std::getline(got, got_line)) << name << ": more output: " << got_line;
}

// One environment in a known state: two partitions, the congestion module an alias, records
// waiting, buffers held by this process and by one that has ended, a congestion onset.
TEST_F(Reports, EveryQueryMatchesItsReference) {
    pxrtest::EnvSpec layout{.congestion_module = 0x10, .buffers0 = 8, .size0 = 16};
    layout.onset0 = 6, layout.abate0 = 3, layout.buffers1 = 1, layout.size1 = 200;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    ASSERT_EQ(IPC_create(0x20, 1), 0);
    ASSERT_EQ(IPC_create(0x21, 1), 0);
    ASSERT_EQ(IPC_attach(0x10, 0x20), 0);
    ASSERT_EQ(SYS_add_pid(getpid(), "reports-test"), 0);
    ASSERT_EQ(pxrtest::run_child([] {
                  PXR_unlink(); // its own pid on the buffers it leaves
                  return getm(0x100, 1, 0, 4) != nullptr && getm(0x100, 2, 0, 4) != nullptr ? 0 : 1;
              }),
              0);
    for (uint16_t id = 3; id < 5; ++id) ASSERT_EQ(PXR_send(0x21, getm(0x100, id, 0, 8)), 0);
    MSG *held = getm(0x200, 5, 0, 16), *onset = getm(0x200, 6, 0, 16); // the sixth: onset
    MSG *large = getm(0x300, 7, 0, 100);
    ASSERT_TRUE(held != nullptr && onset != nullptr && large != nullptr);
    for (const char *query : {"status", "queues", "msgs", "procs"}) {
        expect_report(std::string(query) + ".txt", {query});
        expect_report(std::string(query) + ".json", {query, "--json"});
    }
    expect_report("check.txt", {"check"});
    expect_report("reclaim.txt", {"reclaim", "--dry-run"});
    expect_report("watch.txt", {"watch", "--count", "1"});
    expect_report("watch-twice.txt", {"watch", "--interval", "0.2", "--count", "2"});
    expect_report("metrics.txt", {"metrics"});
    // The times the references leave open: the environment started within the last minute.
    const std::string text = output_of({"metrics"});
    auto value = [&text](const std::string &name) { // the metric's value, -1 when missing
        const std::size_t at = text.find("\n" + name + " ");
        return at == std::string::npos ? -1.0 : std::atof(text.c_str() + at + name.size() + 2);
    };
    const double start = value("pxr_start_time_seconds"), uptime = value("pxr_uptime_seconds");
    EXPECT_NEAR(start + uptime, double(time(nullptr)), 2.0);
    EXPECT_GE(uptime, 0.0);
    EXPECT_LT(uptime, 60.0);
}

TEST_F(Metrics, ExpositionFollowsTheEnvironmentAndIsServedOverHttp) {
    EXPECT_TRUE(has("\n" + pxrtool::metrics_text(), "pxr_up 0"));

    ASSERT_TRUE(pxrtest::create_running_environment({.init_flags = PXR_INIT_ATOMIC}));
    ASSERT_EQ(IPC_create(0x20, 1), 0);
    ASSERT_EQ(SYS_add_pid(getpid(), "metrics-test"), 0);
    MSG *m = getm(0x100, 1, 0, 4);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(PXR_send(0x20, m), 0); // left in the queue: one buffer allocated

    const std::string expected[] = {
        "pxr_environment_atomic 1",
        "pxr_partition_buffers{partition=\"0\"} 16",
        "pxr_partition_buffers_free{partition=\"0\"} 15",
        "pxr_partition_buffers_allocated_max{partition=\"0\"} 1",
        "pxr_partition_allocations_total{partition=\"0\"} 1",
        "pxr_process_alive{pid=\"" + std::to_string(getpid()) + "\",name=\"metrics-test\"} 1",
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

    // pxr watch without a count: rounds until the environment ends.
    pxrtest::TempDir wdir;
    const pid_t watch = pxrtest::start_pxr(wdir, {"watch", "--interval", "0.2"});
    std::ostringstream seen;
    for (int i = 0; i < 250 && seen.str().find("pxr watch") == std::string::npos; ++i) {
        usleep(20000);
        seen.str(""), seen << std::ifstream(wdir / "out").rdbuf();
    }
    relm(PXR_grab(0x20));
    SYS_remove_pid(getpid(), 1000); // a close signals the recorded processes
    ASSERT_EQ(PXR_close(), 0);
    const pxrtest::PxrRun w = pxrtest::finish_pxr(wdir, watch);
    EXPECT_EQ(w.code, 0) << w.err;
    EXPECT_NE(w.out.find("\npxr watch: the environment has ended\n"), std::string::npos) << w.out;
}

// The words of the last line of text that starts with prefix.
std::vector<std::string> last_row(const std::string &text, const std::string &prefix) {
    const std::size_t at = text.rfind("\n" + prefix);
    std::istringstream line(text.substr(at + 1, text.find('\n', at + 1) - at - 1));
    std::vector<std::string> words;
    for (std::string w; line >> w;) words.push_back(w);
    return words;
}

// A ring queue counts what goes through it: pxr watch shows records in and out per second
// (a quiet ring 0, a busy one more), pxr queues --json the counts themselves.
TEST_F(Reports, RingQueuesShowTheirRatesAndLastReceiver) {
    ASSERT_TRUE(pxrtest::create_running_environment({.ring_capacity = 16}));
    ASSERT_TRUE(IPC_create(0x20, 1) == 0 && IPC_create(0x21, 1) == 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(PXR_send(0x20, getm(0x100, 1, 0, 4)), 0);
    relm(PXR_grab(0x20)); // two left; this process took the last
    const std::string pid = std::to_string(getpid());
    std::string out = output_of({"queues", "--json"});
    EXPECT_NE(out.find("\"pending\":2,\"last_receiver\":" + pid +
                       ",\"ring\":true,\"put\":3,\"taken\":1}"),
              std::string::npos)
        << out;

    const pid_t busy = pxrtest::start_child([] {
        PXR_unlink();
        for (;;) {
            if (PXR_send(0x21, getm(0x100, 1, 0, 4)) != 0) return 1;
            relm(PXR_grab(0x21));
            usleep(500);
        }
    });
    out = output_of({"watch", "--interval", "0.3", "--count", "2"});
    kill(busy, SIGKILL);
    pxrtest::wait_child(busy);
    const std::vector<std::string> quiet = {"0x20", "2", "0", "0", "0", pid, "-", "-"};
    EXPECT_EQ(last_row(out, "0x20"), quiet) << out;
    const std::vector<std::string> moving = last_row(out, "0x21");
    ASSERT_EQ(moving.size(), 8u) << out;
    for (const std::string &rate : {moving[3], moving[4]})
        EXPECT_TRUE(rate != "0" && rate != "-") << out;
}

} // namespace
