// A second local user against root's environment (default permission 0666): whatever it writes
// into the process table, whichever lock it holds and whatever pid it waits to be reused, the
// end of the environment signals no process outside it and still comes. Each case runs in a
// private pid namespace with its own /proc, so that a signal aimed wrongly (even kill(-1))
// reaches only the case's own processes.
#include "ipc_test.h"

#include "membership.h"
#include "supervise.h"
#include "tool.h"

#include <fstream>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>

namespace {

using pxrtest::PxrRun;
using pxrtest::start_child;
using pxrtest::TempDir;

constexpr int kSkip = 77;

// Runs body as the init of a new pid namespace with its own /proc: its exit status, kSkip when
// the namespaces cannot be made here.
int in_pid_namespace(const std::function<int()> &body) {
    return pxrtest::run_child([&] {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return kSkip;
        return pxrtest::run_child([&] {
            if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
                return kSkip;
            return body();
        });
    });
}

bool become_other_user() {
    return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

// Processes that belong to nobody's environment: one of root's, one of the other user's.
std::vector<pid_t> start_bystanders() {
    return {start_child([] { return pause(); }),
            start_child([] { return become_other_user() ? pause() : 1; })};
}

// Each bystander still runs (then it is ended); a line on standard error for each that does not.
bool all_alive(const std::vector<pid_t> &pids) {
    bool ok = true;
    for (pid_t p : pids) {
        if (waitpid(p, nullptr, WNOHANG) != 0) {
            std::fprintf(stderr, "bystander %d was signalled\n", int(p));
            ok = false;
        }
        kill(p, SIGKILL);
    }
    return ok;
}

// The other user's work on root's environment: maps the common area (0666) and does what.
template <typename Attack>
pid_t as_other_user(Attack attack) {
    return start_child([attack] {
        if (!become_other_user()) return 1;
        void *at = shmat(shmget(PXR_KEY_COMMON_AREA, 0, 0), nullptr, 0);
        if (at == reinterpret_cast<void *>(-1)) return 2;
        return attack(static_cast<CommonArea *>(at));
    });
}

void append(CommonArea *ca, int32_t pid) {
    ca->processes[ca->process_count].pid = pid;
    std::snprintf(ca->processes[ca->process_count].name, 52, "forged");
    ++ca->process_count;
}

// Holds the system lock until the process ends (the kernel frees it then).
bool hold_system_lock() {
    sembuf take[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
    return semop(semget(PXR_KEY_SYSTEM_LOCK, 0, 0), take, 2) == 0;
}

void post_exit_semaphore() {
    sembuf post{0, 1, 0};
    semop(semget(PXR_KEY_EXIT_SEM, 0, 0), &post, 1);
}

pid_t start_loader(const TempDir &dir, const char *environment = "environment") {
    std::ofstream(dir / "env.conf") << environment
                                    << "\npartition 0 buffers=16 size=64\n"
                                       "spawn sleep 60\n";
    const pid_t loader = pxrtest::start_pxr(dir, {"load", "--timeout", "30", dir / "env.conf"});
    for (int i = 0; i < 500 && !pxrtool::loader_waiting(); ++i) usleep(20000);
    return loader;
}

bool said(const std::string &output, const std::string &text) {
    if (output.find(text) != std::string::npos) return true;
    std::fprintf(stderr, "missing \"%s\" in:\n%s", text.c_str(), output.c_str());
    return false;
}

class LocalUser : public pxrtest::IpcTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to be a second user";
        IpcTest::SetUp();
    }
    static void expect_ok(int rc) {
        if (rc == kSkip) GTEST_SKIP() << "no private pid namespace here";
        EXPECT_EQ(rc, 0);
    }
};

// The other user holds the system lock, writes bystanders and -1 into the table and posts the
// exit semaphore: the loader ends all the same, without the lock, and signals only its own.
TEST_F(LocalUser, HeldLockAndForeignEntriesReachNobodyAtTheLoadersClose) {
    expect_ok(in_pid_namespace([] {
        const std::vector<pid_t> bystanders = start_bystanders();
        TempDir dir;
        const pid_t loader = start_loader(dir);
        const pid_t attacker = as_other_user([&](CommonArea *ca) {
            if (!hold_system_lock()) return 3;
            for (pid_t p : bystanders) append(ca, p);
            append(ca, -1);
            post_exit_semaphore();
            return pause();
        });
        const PxrRun r = pxrtest::finish_pxr(dir, loader);
        const bool attacker_spared = waitpid(attacker, nullptr, WNOHANG) == 0;
        kill(attacker, SIGKILL);
        return r.code == 0 && attacker_spared && all_alive(bystanders) &&
                       said(r.err, "process -1 (forged) is not signalled") &&
                       said(r.err, "the system lock is held (pid " + std::to_string(attacker)) &&
                       said(r.err, "process " + std::to_string(bystanders[1]) + " (forged) is not")
                   ? 0
                   : 1;
    }));
}

// The other user rewrites the table's entries over and over, holding the system lock, while
// root's pxr terminate ends the environment: the closers wait for the lock a while, go on
// without it, and what they signal is what they pinned and verified.
TEST_F(LocalUser, EntriesRewrittenDuringTheEndReachNobodyFromPxrTerminate) {
    expect_ok(in_pid_namespace([] {
        const std::vector<pid_t> bystanders = start_bystanders();
        TempDir dir, tdir;
        const pid_t loader = start_loader(dir);
        pxrtest::Ready ready;
        const pid_t attacker = as_other_user([&](CommonArea *ca) {
            if (!hold_system_lock()) return 3;
            ready.signal();
            for (;;)
                for (int32_t i = 0; i < ca->process_count; ++i)
                    __atomic_store_n(&ca->processes[i].pid, bystanders[std::size_t(i) % 2],
                                     __ATOMIC_RELAXED);
        });
        if (!ready.wait()) return 4;
        const PxrRun t = pxrtest::run_pxr(tdir, {"terminate"});
        const PxrRun r = pxrtest::finish_pxr(dir, loader);
        kill(attacker, SIGKILL);
        return t.code == 0 && r.code == 0 && all_alive(bystanders) &&
                       said(t.err + r.err, "ending the environment without it")
                   ? 0
                   : 1;
    }));
}

// A loader crashed; an unrelated root process got its pid and has a child of its own, which
// the other user writes into the table: pxr clean --force stops the crashed environment's
// process and not that child.
TEST_F(LocalUser, ALoaderPidReusedAfterACrashMakesNoMemberForPxrClean) {
    expect_ok(in_pid_namespace([] {
        TempDir dir, cdir;
        const pid_t loader = start_loader(dir);
        pxrtool::SupervisionTable sup{};
        if (!pxrtool::read_supervision(sup) || sup.count != 1) return 2;
        kill(loader, SIGKILL);
        waitpid(loader, nullptr, 0);
        sleep(4); // the reused pid's process starts clearly after the loader's table
        int ready[2];
        if (pipe(ready) != 0) return 3;
        std::ofstream("/proc/sys/kernel/ns_last_pid") << loader - 1;
        const pid_t impostor = start_child([&] {
            const pid_t child = start_child([] { return pause(); });
            if (write(ready[1], &child, sizeof child) != sizeof child) return 1;
            return pause();
        });
        pid_t child = 0;
        if (impostor != loader || read(ready[0], &child, sizeof child) != sizeof child) return 4;
        const pid_t attacker = as_other_user([&](CommonArea *ca) { return append(ca, child), 0; });
        if (pxrtest::wait_child(attacker) != 0) return 5; // the forged entry was not written
        const PxrRun r = pxrtest::run_pxr(cdir, {"clean", "--force"});
        const bool stopped =
            said(r.out, "stopped process " + std::to_string(sup.procs[0].pid) + " (sleep)");
        pxrtool::ProcInfo info;
        const bool spared = waitpid(impostor, nullptr, WNOHANG) == 0 &&
                            pxrtool::read_proc(child, info) && info.state != 'Z';
        kill(impostor, SIGKILL);
        kill(child, SIGKILL);
        return r.code == 0 && spared && stopped ? 0 : 1;
    }));
}

// Chosen in the configuration, access 0600 keeps the other user from every object; the status
// shows the mode, and the loader has no warning to give.
TEST_F(LocalUser, AccessChosenInTheConfigurationKeepsTheOtherUserOut) {
    TempDir dir, qdir;
    const pid_t loader = start_loader(dir, "environment access=0600");
    const PxrRun status = pxrtest::run_pxr(qdir, {"status", "--json"});
    EXPECT_NE(status.out.find("\"access\":\"0600\""), std::string::npos) << status.out;
    EXPECT_EQ(pxrtest::run_child([] {
                  if (!become_other_user()) return 1;
                  return shmget(PXR_KEY_COMMON_AREA, 0, 0666) < 0 &&
                                 semget(PXR_KEY_SYSTEM_LOCK, 0, 0666) < 0 && PXR_init(0, 0, 0) == 5
                             ? 0
                             : 2;
              }),
              0);
    EXPECT_EQ(pxrtest::run_pxr(qdir, {"terminate"}).code, 0);
    const PxrRun r = pxrtest::finish_pxr(dir, loader);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err.find("every local user"), std::string::npos) << r.err;
}

} // namespace
