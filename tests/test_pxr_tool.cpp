// The pxr command run as a real program inside the test's private IPC namespace: the exit
// status it derives, signals, terminate, the queries of a running environment; supervision
// by the loader (what it reports and does when a spawned process ends, how it leaves when
// another process closes the environment), the return of a dead holder's buffers, pxr clean
// after a crashed loader, and the spawn line's options.
#include "config.h"
#include "env/ring_queues.h"
#include "ipc_test.h"
#include "supervise.h"
#include "tool.h"

#include <fstream>
#include <sys/stat.h>
#include <utility>

namespace {

using namespace pxrtest;

const std::string child = program_path("tool_child"), app = program_path("super_app");

std::vector<std::string> load_args(const TempDir &dir, const std::string &spawns) {
    std::ofstream(dir / "env.conf") << "environment\npartition 0 buffers=16 size=64\nqueue 0x20\n"
                                    << spawns;
    return {"load", "--timeout", "20", dir / "env.conf"};
}

class PxrTool : public IpcTest {};

TEST_F(PxrTool, ExitStatusFollowsTheEnvironment) {
    // Buffer exhaustion with fatal action 1 ends the environment with exit status -2.
    TempDir dir;
    std::ofstream(dir / "env.conf") << "environment fatal-action=1\npartition 0 buffers=4 "
                                       "size=16\nspawn "
                                    << child << " exhaust\n";
    PxrRun r = run_pxr(dir, {"load", "--timeout", "20", dir / "env.conf"});
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find("exit status -2: fatal event 2, a buffer could not be had"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(remove_environment_objects(), 0);

    // Its output's reader gone (`pxr load -v ... 2>&1 | head -1`), the loader runs on to its
    // time limit and removes everything.
    std::ofstream(dir / "quiet.conf") << "partition 0 buffers=4 size=16\nspawn sleep 5\n";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t loader = start_child([&] {
        dup2(out[1], 1), dup2(out[1], 2), close(out[0]);
        execl(PXR_TOOL_PATH, "pxr", "load", "-v", "--timeout", "1", (dir / "quiet.conf").c_str(),
              nullptr);
        return 127;
    });
    close(out[0]), close(out[1]);
    EXPECT_EQ(wait_child(loader), 124);
    EXPECT_EQ(remove_environment_objects(), 0);
}

TEST_F(PxrTool, QueriesSeeTheRunningEnvironmentAndSigintEndsIt) {
    TempDir dir, qdir;
    // A loader whose one process waits on module 0x20 until the environment goes away.
    pid_t loader = start_pxr(dir, load_args(dir, "spawn " + child + " wait 0x20\n"));
    for (int i = 0; i < 500 && !pxrtool::loader_waiting(); ++i) usleep(20000);
    EXPECT_TRUE(pxrtool::loader_waiting());
    const struct {
        std::vector<std::string> args;
        std::string expected;
    } queries[] = {
        {{"procs"}, "running     " + child.substr(0, 49)},
        {{"status", "--json"}, "\"loader_waiting\":true"},
    };
    for (const auto &q : queries) {
        PxrRun r = run_pxr(qdir, q.args);
        EXPECT_EQ(r.code, 0) << q.args[0] << r.err;
        EXPECT_NE(r.out.find(q.expected), std::string::npos) << r.out;
    }
    // A second loader and clean both refuse while this one runs.
    PxrRun second = run_pxr(qdir, {"load", dir / "env.conf"});
    EXPECT_EQ(second.code, 69);
    EXPECT_NE(second.err.find("exists already"), std::string::npos) << second.err;
    PxrRun clean = run_pxr(qdir, {"clean"});
    EXPECT_EQ(clean.code, 1);
    EXPECT_NE(clean.err.find("is running"), std::string::npos) << clean.err;

    kill(loader, SIGINT);
    PxrRun done = finish_pxr(dir, loader);
    EXPECT_EQ(done.code, 128 + SIGINT) << done.err;
    EXPECT_EQ(remove_environment_objects(), 0);
}

TEST_F(PxrTool, WithoutEnvironmentEveryQuerySaysSo) {
    TempDir dir;
    for (const char *cmd : {"status", "msgs", "queues", "procs", "watch", "terminate"}) {
        PxrRun r = run_pxr(dir, {cmd});
        EXPECT_EQ(r.code, 1) << cmd;
        EXPECT_NE(r.err.find("no environment is running"), std::string::npos) << cmd << r.err;
    }
    EXPECT_EQ(run_pxr(dir, {}).code + run_pxr(dir, {"frobnicate"}).code, 128);
    EXPECT_EQ(run_pxr(dir, {"status", "--bogus"}).code, 64);
}

class Supervise : public IpcTest {};

// Each case ends by a critical sleeper, so the loader's exit status is 70.
TEST_F(Supervise, EveryEndIsReportedAndHandledByItsPolicy) {
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
        PxrRun r = run_pxr(dir, load_args(dir, c.spawn + "\nspawn critical sleep 1.5\n"));
        EXPECT_EQ(r.code, 70) << c.spawn << r.err;
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << c.spawn << r.err;
        std::size_t lines = 0; // report lines, less the critical sleeper's two
        for (std::size_t at = r.err.find("pxr load: "); at != std::string::npos;
             at = r.err.find("pxr load: ", at + 1))
            lines += r.err.compare(at, 40, "pxr load: every local user may use and e") != 0;
        EXPECT_EQ(lines - 2, c.ends) << c.spawn << r.err;
        EXPECT_NE(r.err.find("critical process 'sleep'"), std::string::npos) << r.err;
        EXPECT_EQ(remove_environment_objects(), 0) << c.spawn;
    }
}

// The closer may be a recorded process (killed by its own close half-way, so the loader
// finishes the close) or another one (whose close removes everything); pxr terminate asks the
// loader to end and remove everything itself, and nobody signals the loader's own pid, which
// one of its processes wrote into the process table.
TEST_F(Supervise, CloseOrTerminateByAnotherProcessEndsTheLoaderAndLeavesNothing) {
    enum { recorded, other, terminate };
    for (int by : {recorded, other, terminate}) {
        TempDir dir, tdir;
        const std::string extra = by == recorded    ? "spawn " + app + " close"
                                  : by == terminate ? "spawn " + app + " record-loader"
                                                    : "";
        pid_t loader = start_pxr(dir, load_args(dir, "spawn sleep 30\n" + extra));
        for (int i = 0; by != recorded && i < 500 && !pxrtool::loader_waiting(); ++i) usleep(20000);
        EXPECT_EQ(by == other       ? run_child([] { return PXR_link() == 0 ? PXR_close() : 2; })
                  : by == terminate ? run_pxr(tdir, {"terminate"}).code
                                    : 0,
                  0);
        PxrRun r = finish_pxr(dir, loader);
        EXPECT_EQ(r.code, by == terminate ? 0 : 71) << r.err;
        EXPECT_EQ(r.err.find("closed by another process") != std::string::npos, by != terminate)
            << r.err;
        const std::string screened =
            "process " + std::to_string(loader) + " (pxr) is not signalled: it is the loader";
        EXPECT_EQ(r.err.find(screened) != std::string::npos, by == terminate) << r.err;
        EXPECT_EQ(remove_environment_objects(), 0) << by;
    }
}

// A termination asked for while the loader waits for its bridge to learn its routes (it never
// will: there is no server) ends the environment at once; the other processes never start.
TEST_F(Supervise, TerminateWhileTheLoaderWaitsForTheBridgeEndsIt) {
    if (access(PXR_TOOL_PATH "-bridge", X_OK) != 0) GTEST_SKIP() << "no pxr-bridge";
    TempDir dir, tdir;
    std::vector<std::string> args = load_args(dir, "remote 0x21\nbridge url=nats://127.0.0.1:1 "
                                                   "cluster=c\nspawn sleep 30\n");
    args.insert(args.begin() + 1, "-v"); // says what it starts
    pid_t loader = start_pxr(dir, args);
    PxrRun t;
    for (int i = 0; i < 100 && t.code != 0; ++i, usleep(20000)) t = run_pxr(tdir, {"terminate"});
    PxrRun r = finish_pxr(dir, loader);
    EXPECT_EQ(std::tuple(t.code, r.code), std::tuple(0, 0)) << r.err;
    EXPECT_EQ(r.err.find("started sleep"), std::string::npos) << r.err;
}

// Another process holding the system lock stalls neither the loader (a killed process is
// restarted and recorded once the lock is free; SIGTERM ends it) nor a query (it says who);
// `pxr procs` shows the restarted process running, with the end of its last run.
TEST_F(Supervise, AHeldSystemLockStallsNeitherTheLoaderNorTheQueries) {
    TempDir dir, qdir;
    pid_t loader = start_pxr(dir, load_args(dir, "spawn restart=always sleep 30\n"));
    pxrtool::SupervisionTable sup{};
    const auto first_run = [&] {
        return pxrtool::read_supervision(sup) && sup.count == 1 && sup.procs[0].pid > 0 &&
               pxrtool::loader_waiting();
    };
    for (int i = 0; i < 500 && !first_run(); ++i) usleep(20000);
    ASSERT_TRUE(first_run());
    Ready ready;
    const pid_t holder = start_child([&] {
        PXR_unlink();
        if (PXR_link() != 0 || _grab_semaphore(semget(PXR_KEY_SYSTEM_LOCK, 0, 0)) != 0) return 1;
        return ready.signal(), pause();
    });
    ASSERT_TRUE(ready.wait());
    kill(sup.procs[0].pid, SIGKILL);
    for (int i = 0; i < 250 && !(pxrtool::read_supervision(sup) && sup.procs[0].restarts == 1 &&
                                 sup.procs[0].state == uint32_t(pxrtool::ProcState::Running));
         ++i)
        usleep(20000);
    EXPECT_EQ(sup.procs[0].restarts, 1u) << "no restart while the lock was held";
    const PxrRun q = run_pxr(qdir, {"status"});
    EXPECT_EQ(q.code, 1);
    EXPECT_NE(q.err.find("the system lock is held (pid " + std::to_string(holder)),
              std::string::npos)
        << q.err;
    kill(holder, SIGKILL);
    const std::string restarted = "\"state\":\"running\",\"exit_status\":-1,\"signal\":9";
    PxrRun procs;
    for (int i = 0; i < 100 && procs.out.find(restarted) == std::string::npos; ++i)
        usleep(20000), procs = run_pxr(qdir, {"procs", "--json"});
    EXPECT_NE(procs.out.find(restarted), std::string::npos) << procs.out;
    kill(loader, SIGTERM);
    const PxrRun r = finish_pxr(dir, loader);
    EXPECT_EQ(r.code, 128 + SIGTERM) << r.err;
    EXPECT_NE(r.err.find("is recorded once it is free"), std::string::npos) << r.err;
    wait_child(holder);
}

// Buffers of a dead holder come back; one it sent stays with its queue (a kernel queue or a
// ring); a live holder's buffers are never taken.
TEST_F(Supervise, ReclaimReturnsOnlyWhatDeadProcessesHeld) {
    for (const auto &[form, rings] :
         {std::pair{0u, 0u}, {uint32_t(PXR_INIT_ATOMIC), 0u}, {0u, 16u}}) {
        ASSERT_TRUE(create_running_environment({.init_flags = form, .ring_capacity = rings}));
        ASSERT_EQ(IPC_create(0x20, 1), 0);
        pid_t live = start_child([&] {
            PXR_unlink(); // attach afresh, so the stamps carry this process's pid
            for (int i = 0; i < 2; ++i) getm(0x100, 1, 0, 4);
            return pause(), 0;
        });
        for (int i = 0; i < 500 && partition_hdr[0]->alloc_count < 2; ++i) usleep(10000);
        pid_t dead = start_child([] {
            PXR_unlink();
            for (int i = 0; i < 3; ++i)
                if (PXR_send(0x20, getm(0x100, 1, 0, 4)) != 0) return 2;
            MSG *m = getm(0x100, 1, 0, 4), *n = getm(0x100, 1, 0, 4);
            return m != nullptr && n != nullptr ? 0 : 1;
        });
        ASSERT_EQ(wait_child(dead), 0);
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
        wait_child(live);
        ASSERT_EQ(PXR_reclaim_buffers(0, 0, &st, nullptr, 0), 0);
        EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
        PXR_close();
    }
}

// A receiver stopped between taking a record and stamping the buffer still holds it: the
// record waits in its landing. Killed there, it is the holder whose buffer comes back, also
// when the sender still runs.
TEST_F(Supervise, ReclaimSeesRecordsBetweenQueueAndStamp) {
    for (const uint32_t rings : {0u, 16u}) {
        ASSERT_TRUE(create_running_environment({.ring_capacity = rings}));
        ASSERT_EQ(IPC_create(0x20, 1), 0);
        // Takes one record of 0x20 the way a receive does, then stops before the stamp.
        auto take_and_stop = [] {
            PXR_unlink();
            ReceiveLanding *landing = (PXR_pending_msgs(0x20), pxr_impl::my_landing());
            const uint32_t qid = common_ptr->module_queues[0x20].msqid;
            if (const auto ring = pxr_impl::ring_of_queue(0x20, qid)) {
                pxr_impl::ring::Cursor cursor;
                cursor.landing = &landing->ring_ref;
                uint32_t ref = 0;
                while (pxr_impl::ring::try_pop(ring, cursor, my_pid, ref) !=
                       pxr_impl::ring::Take::got)
                    usleep(1000);
            } else if (msgrcv(int(qid), &landing->mtype, pxr_impl::kRecordText, 0, 0) < 0) {
                return 1;
            }
            return raise(SIGSTOP), 0;
        };
        for (const bool sender_lives : {false, true}) {
            pid_t sender = start_child([] {
                PXR_unlink();
                if (PXR_send(0x20, getm(0x100, 1, 0, 4)) != 0) return 1;
                return pause(), 0;
            });
            pid_t receiver = start_child(take_and_stop);
            int status = 0;
            ASSERT_EQ(waitpid(receiver, &status, WUNTRACED), receiver);
            ASSERT_TRUE(WIFSTOPPED(status));
            if (!sender_lives) kill(sender, SIGKILL), wait_child(sender);

            PXR_reclaim_stats st{};
            PXR_reclaimed_buffer got{};
            ASSERT_EQ(PXR_reclaim_buffers(0, 0, &st, &got, 1), 0);
            EXPECT_EQ(std::tuple(st.returned, st.queued, partition_hdr[0]->alloc_count),
                      std::tuple(0u, 0u, 1u))
                << "a stopped receiver is never robbed";
            kill(receiver, SIGKILL);
            wait_child(receiver);
            ASSERT_EQ(PXR_reclaim_buffers(0, 0, &st, &got, 1), 0);
            EXPECT_EQ(std::tuple(st.returned, got.holder, partition_hdr[0]->alloc_count),
                      std::tuple(1u, receiver, 0u));
            if (sender_lives) kill(sender, SIGKILL), wait_child(sender);
        }
        PXR_close();
    }
}

// After a loader crash pxr clean stops the recorded processes unless told to keep them.
TEST_F(Supervise, CleanAfterACrashedLoaderStopsItsProcesses) {
    for (bool keep : {false, true}) {
        TempDir dir;
        pid_t loader = start_pxr(dir, load_args(dir, "spawn sleep 60\n"));
        int32_t sleeper = 0;
        for (int i = 0; i < 300 && sleeper == 0; ++i) {
            usleep(20000);
            pxrtool::CommonView view;
            std::string why;
            if (view.map(why) && view->process_count == 1) sleeper = view->processes[0].pid;
        }
        ASSERT_GT(sleeper, 0);
        kill(loader, SIGKILL);
        wait_child(loader);
        PxrRun refused = run_pxr(dir, load_args(dir, ""));
        EXPECT_EQ(refused.code, 69);
        EXPECT_NE(refused.err.find("pxr clean"), std::string::npos) << refused.err;

        PxrRun r = keep ? run_pxr(dir, {"clean", "--keep-processes"}) : run_pxr(dir, {"clean"});
        EXPECT_EQ(r.code, 0) << r.err;
        const std::string line =
            (keep ? "kept process " : "stopped process ") + std::to_string(sleeper) + " (sleep)";
        EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
        EXPECT_EQ(PXR_process_gone(sleeper), keep ? 0 : 1);
        if (keep) kill(sleeper, SIGKILL);
        for (const char *what : {"removed module queue 0x20 (key 0xe0231", "removed exit semaphore",
                                 "removed partition 0 header", "removed common area",
                                 "removed system lock (key 0xe0410"})
            EXPECT_NE(r.out.find(what), std::string::npos) << what << "\n" << r.out;
        EXPECT_NE(run_pxr(dir, {"clean"}).out.find("nothing to remove"), std::string::npos);
        EXPECT_EQ(remove_environment_objects(), 0);
    }
}

TEST(SpawnLine, OptionsAndUnreadableFiles) {
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
    EXPECT_TRUE(s.critical);
    EXPECT_EQ(s.restart, pxrtool::RestartPolicy::Always);
    EXPECT_EQ(s.restart_limit, 0);

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
