// Supervision by the loader: what it reports and does when a spawned process ends, how it
// leaves when another process closes the environment, the return of a dead holder's buffers,
// pxr clean after a crashed loader, and the spawn line's options.
#include "config.h"
#include "ipc_test.h"
#include "tool.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using pxrtest::TempDir;

struct Outcome {
    int code = -1;
    std::string out, err;
};

// Starts pxr with args, its output going to files in dir; finish() collects it.
pid_t start_pxr(const TempDir &dir, const std::vector<std::string> &args) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        dup2(open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        std::vector<char *> argv{const_cast<char *>(PXR_TOOL_PATH)};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(PXR_TOOL_PATH, argv.data());
        _exit(127);
    }
    return pid;
}

std::string slurp(const std::string &path) {
    std::ostringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

Outcome finish(const TempDir &dir, pid_t pid) {
    const int code = pxrtest::wait_child(pid);
    return {code, slurp(dir / "out"), slurp(dir / "err")};
}

Outcome pxr(const TempDir &dir, const std::vector<std::string> &args) {
    return finish(dir, start_pxr(dir, args));
}

std::vector<std::string> load_args(const TempDir &dir, const std::string &spawns) {
    std::ofstream(dir / "env.conf") << "environment\npartition 0 buffers=16 size=64\nqueue 0x20\n"
                                    << spawns;
    return {"load", "--timeout", "20", dir / "env.conf"};
}

class Supervise : public pxrtest::IpcTest {};

// Each case ends by a critical sleeper, so the loader's exit status is 70.
TEST_F(Supervise, EveryEndIsReportedAndHandledByItsPolicy) {
    const std::string app = pxrtest::program_path("super_app");
    struct Case {
        std::string spawn;
        const char *expected;
        std::size_t ends; // report lines for the process under test
    } cases[] = {
        {"spawn /bin/false", "exited with status 1 after", 1},
        {"spawn restart=on-failure restart-limit=2 /bin/false", "gave up after 2 restarts", 3},
        {"spawn restart=always restart-limit=1 /bin/true", "gave up after 1 restarts", 2},
        {"spawn restart=on-failure /bin/true", "not restarted (restart=on-failure)", 1},
        {"spawn sh -c \"kill -SEGV $$\"", "was killed by SIGSEGV", 1},
        {"spawn " + app + " hold 0x20 3 4", "2 buffers it held returned; 1 it sent still queued",
         1},
    };
    for (const Case &c : cases) {
        TempDir dir;
        Outcome r = pxr(dir, load_args(dir, c.spawn + "\nspawn critical sleep 1.5\n"));
        EXPECT_EQ(r.code, 70) << c.spawn << r.err;
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << c.spawn << r.err;
        std::size_t lines = 0; // report lines, less the critical sleeper's two
        for (std::size_t at = r.err.find("pxr load: "); at != std::string::npos;
             at = r.err.find("pxr load: ", at + 1))
            ++lines;
        EXPECT_EQ(lines - 2, c.ends) << c.spawn << r.err;
        EXPECT_NE(r.err.find("critical process 'sleep'"), std::string::npos) << r.err;
        EXPECT_EQ(pxrtest::remove_environment_objects(), 0) << c.spawn;
    }
}

// The closer may be a recorded process (killed by its own close half-way, so the loader
// finishes the close) or another one (whose close removes everything).
TEST_F(Supervise, CloseByAnotherProcessEndsTheLoaderAndLeavesNothing) {
    for (bool recorded : {true, false}) {
        TempDir dir;
        const std::string closer = pxrtest::program_path("super_app") + " close";
        pid_t loader = start_pxr(
            dir, load_args(dir, "spawn sleep 30\n" + (recorded ? "spawn " + closer : "")));
        if (!recorded) {
            for (int i = 0; i < 500 && !pxrtool::loader_waiting(); ++i) usleep(20000);
            EXPECT_EQ(pxrtest::run_child([] { return PXR_link() == 0 ? PXR_close() : 2; }), 0);
        }
        Outcome r = finish(dir, loader);
        EXPECT_EQ(r.code, 71) << r.err;
        EXPECT_NE(r.err.find("closed by another process"), std::string::npos) << r.err;
        EXPECT_EQ(pxrtest::remove_environment_objects(), 0) << recorded;
    }
}

// Buffers of a dead holder come back; one it sent stays with its queue; a live holder's
// buffers are never taken.
TEST_F(Supervise, ReclaimReturnsOnlyWhatDeadProcessesHeld) {
    for (uint32_t form : {0u, uint32_t(PXR_INIT_ATOMIC)}) {
        pxrtest::EnvSpec spec;
        spec.init_flags = form;
        ASSERT_TRUE(pxrtest::create_running_environment(spec));
        ASSERT_EQ(IPC_create(0x20, 1), 0);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t live = pxrtest::start_child([&] {
            PXR_unlink(); // attach afresh, so the stamps carry this process's pid
            for (int i = 0; i < 2; ++i) getm(0x100, 1, 0, 4);
            char c = 1;
            return write(ready[1], &c, 1) == 1 ? (pause(), 0) : 1;
        });
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        pid_t dead = pxrtest::start_child([] {
            PXR_unlink();
            for (int i = 0; i < 3; ++i)
                if (PXR_send(0x20, getm(0x100, 1, 0, 4)) != 0) return 2;
            MSG *m = getm(0x100, 1, 0, 4), *n = getm(0x100, 1, 0, 4);
            return m != nullptr && n != nullptr ? 0 : 1;
        });
        ASSERT_EQ(pxrtest::wait_child(dead), 0);
        EXPECT_EQ(partition_hdr[0]->alloc_count, 7u);

        PXR_reclaim_stats st{};
        PXR_reclaimed_buffer list[8];
        ASSERT_EQ(PXR_reclaim_buffers(0, PXR_RECLAIM_DRY_RUN, &st, list, 8), 0);
        EXPECT_EQ(st.returned, 2u);
        EXPECT_EQ(st.queued, 3u);
        EXPECT_EQ(list[0].holder, dead);
        EXPECT_EQ(partition_hdr[0]->alloc_count, 7u) << "a dry run gives nothing back";
        ASSERT_EQ(PXR_reclaim_buffers(dead, 0, &st, nullptr, 0), 0);
        EXPECT_EQ(st.returned, 2u);
        EXPECT_EQ(partition_hdr[0]->alloc_count, 5u);
        ASSERT_EQ(PXR_reclaim_buffers(live, 0, &st, nullptr, 0), 0);
        EXPECT_EQ(st.returned, 0u) << "a running process keeps its buffers";
        while (MSG *m = PXR_grab(0x20)) relm(m);
        EXPECT_EQ(partition_hdr[0]->alloc_count, 2u);
        EXPECT_EQ(PXR_reclaim_buffers(-1, 0, nullptr, nullptr, 0), -1);
        kill(live, SIGKILL);
        pxrtest::wait_child(live);
        ASSERT_EQ(PXR_reclaim_buffers(0, 0, &st, nullptr, 0), 0);
        EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
        PXR_close();
        close(ready[0]);
        close(ready[1]);
    }
}

// After a loader crash pxr clean stops the recorded processes unless told to keep them.
TEST_F(Supervise, CleanAfterACrashedLoaderStopsItsProcesses) {
    for (bool keep : {false, true}) {
        TempDir dir;
        std::ofstream(dir / "env.conf") << "partition 0 buffers=4 size=64\nspawn sleep 60\n";
        pid_t loader = pxrtest::start_child([&] {
            execl(PXR_TOOL_PATH, "pxr", "load", (dir / "env.conf").c_str(), nullptr);
            return 127;
        });
        int32_t sleeper = 0;
        for (int i = 0; i < 300 && sleeper == 0; ++i) {
            usleep(20000);
            pxrtool::CommonView view;
            std::string why;
            if (view.map(why) && view->process_count == 1) sleeper = view->processes[0].pid;
        }
        ASSERT_GT(sleeper, 0);
        kill(loader, SIGKILL);
        pxrtest::wait_child(loader);
        Outcome refused = pxr(dir, load_args(dir, ""));
        EXPECT_EQ(refused.code, 69);
        EXPECT_NE(refused.err.find("pxr clean"), std::string::npos) << refused.err;

        Outcome r = keep ? pxr(dir, {"clean", "--keep-processes"}) : pxr(dir, {"clean"});
        EXPECT_EQ(r.code, 0) << r.err;
        const std::string line =
            (keep ? "kept process " : "stopped process ") + std::to_string(sleeper) + " (sleep)";
        EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
        EXPECT_EQ(PXR_process_gone(sleeper), keep ? 0 : 1);
        if (keep) kill(sleeper, SIGKILL);
        EXPECT_EQ(pxrtest::remove_environment_objects(), 0);
    }
}

TEST(SpawnLine, OptionsAndFileProblems) {
    TempDir dir;
    mkdir((dir / "bin").c_str(), 0700);
    symlink("/bin/true", (dir / "bin/app").c_str());
    const std::string conf = dir / "x.conf";
    pxrtool::Config cfg;
    std::vector<std::string> errors;
    const std::string part = "partition 0 buffers=4 size=64\n";
    ASSERT_TRUE(pxrtool::parse_config(part + "spawn restart=always restart-limit=0 critical "
                                             "cwd=bin env=A=1 env=B=x=y bin/app -v\n",
                                      conf, cfg, errors))
        << errors[0];
    const pxrtool::SpawnConfig &s = cfg.spawns.at(0);
    EXPECT_EQ(s.program, dir.path() + "/bin/app"); // beside the file, not the current folder
    EXPECT_EQ(s.cwd, dir.path() + "/bin");
    EXPECT_EQ(s.argv, (std::vector<std::string>{"bin/app", "-v"}));
    EXPECT_EQ(s.env, (std::vector<std::string>{"A=1", "B=x=y"}));
    EXPECT_TRUE(s.critical && s.restart == pxrtool::RestartPolicy::Always && s.restart_limit == 0);

    const struct {
        const char *line, *message;
    } bad[] = {
        {"spawn restart=sometimes true", "bad restart 'sometimes'"},
        {"spawn restart=no restart=always true", "restart given twice on one line"},
        {"spawn critical critical true", "critical given twice"},
        {"spawn env=A=1 env=A=2 true", "env A given twice"},
        {"spawn env=1A=x true", "env needs NAME=VALUE"},
        {"spawn cwd=nowhere true", "cwd 'nowhere' is not a folder"},
        {"spawn colour=red true", "unknown spawn option 'colour'"},
        {"spawn restart=always", "spawn needs a program"},
        {"spawn ./true", "program './true' not found"},
        {"partition 1 buffers=4 size=64 size=128", "size given twice on one line"},
        {"environment atomic atomic", "atomic given twice on one line"},
    };
    for (const auto &b : bad) {
        EXPECT_FALSE(pxrtool::parse_config(part + b.line + "\n", conf, cfg, errors)) << b.line;
        ASSERT_FALSE(errors.empty()) << b.line;
        EXPECT_NE(errors[0].find(b.message), std::string::npos) << b.line << ": " << errors[0];
    }

    // A folder, and a binary file: one line, or escaped lines and a bounded count.
    bool unreadable = false;
    EXPECT_FALSE(pxrtool::read_config_file(dir.path().c_str(), cfg, errors, &unreadable));
    EXPECT_TRUE(unreadable);
    EXPECT_EQ(errors, std::vector<std::string>{dir.path() + ": is a folder, not a configuration "
                                                            "file"});
    std::string binary;
    for (int i = 0; i < 60; ++i) binary += "x\x1b[2J\x01\n";
    EXPECT_FALSE(pxrtool::parse_config(binary, conf, cfg, errors));
    EXPECT_EQ(errors.size(), pxrtool::kMaxErrors + 1);
    EXPECT_NE(errors.back().find("... and 41 more"), std::string::npos) << errors.back();
    for (const std::string &e : errors) EXPECT_EQ(e.find('\x1b'), std::string::npos) << e;
}

} // namespace
