// Waiting for the end of the environment while the loader looks after it, and ending.
#include "loader.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace pxrtool::load {

bool Loader::area_removed() const {
    struct shmid_ds ds;
    return shmctl(area_id, IPC_STAT, &ds) != 0 || (ds.shm_perm.mode & SHM_DEST) != 0;
}

bool Loader::closed_by_another() const {
    return (std::atomic_ref<uint32_t>(area->flags).load() & CA_CLOSING) != 0 || area_removed();
}

bool Loader::wait_exit(long ms) {
    if (ms > 0 && (g_child != 0 || g_signal != 0)) return g_signal != 0;
    return PXR_wait_exit_for(uint32_t(ms)) == 0;
}

bool Loader::await_bridge(const Child &c) {
    const long until = now_ms() + kBridgeReadyMs;
    while (c.state == ProcState::Running && !bridge_ready(c.pid)) {
        if (g_child != 0) reap_ended();
        if (g_signal != 0 || closed_by_another()) return false;
        if (now_ms() >= until) {
            std::fprintf(stderr,
                         "pxr load: the bridge has not learnt its routes within %ld s "
                         "(see pxr bridge --stats); starting the other processes\n",
                         kBridgeReadyMs / 1000);
            return true;
        }
        if (wait_exit(20)) { // PXR_terminate: taken here, so said here
            terminated = true;
            return false;
        }
    }
    return true;
}

End Loader::supervise() {
    PXR_admit_attachers();
    for (Child &c : children) {
        launch(c);
        if (is_bridge(c) && !await_bridge(c)) break;
    }
    long next_reclaim = now_ms() + kReclaimEveryMs;
    for (;;) {
        if (g_child != 0) reap_ended();
        if (!critical_line.empty()) return End::Critical;
        if (g_signal != 0) return End::Signal;
        if (terminated) return End::Terminated;
        // A PXR_terminate posts (and later removes) the exit semaphore before it closes;
        // a close without it is another process's PXR_close.
        if (closed_by_another()) return wait_exit(0) ? End::Terminated : End::Gone;
        restart_due();
        record_pending();
        if (now_ms() >= next_reclaim && bridge_settled()) {
            PXR_reclaim_buffers(0, 0, nullptr, nullptr, 0);
            next_reclaim = now_ms() + kReclaimEveryMs;
        }
        if (wait_exit(next_restart_in())) return g_signal != 0 ? End::Signal : End::Terminated;
    }
}

void Loader::remove_exit_semaphore() {
    int id = g_exit_semid;
    g_exit_semid = -1;
    if (id >= 0) semctl(id, 0, IPC_RMID);
}

bool Loader::any_running() const {
    for (const Child &c : children)
        if (c.state == ProcState::Running) return true;
    return false;
}

void Loader::stop_children() {
    closing = true;
    for (int sig : {0, SIGTERM, SIGKILL}) {
        if (sig != 0)
            for (const Child &c : children)
                if (c.state == ProcState::Running && c.pid > 0) kill(c.pid, sig);
        for (int round = 0; round < 50 && any_running(); ++round) {
            reap_ended();
            if (any_running()) sleep_ms(20);
        }
        if (!any_running()) return;
    }
}

void Loader::finish() {
    close_table();
    area_segment = Segment();
    area = nullptr;
    restore_handlers();
}

int Loader::gone() {
    closing = true;
    std::fprintf(stderr, "pxr load: the environment was closed by another process "
                         "(PXR_close); stopping\n");
    const long until = now_ms() + kCloseGraceMs;
    while (!area_removed() && now_ms() < until) sleep_ms(50);
    if (area_removed())
        PXR_unlink();
    else
        close_environment();
    remove_exit_semaphore();
    stop_children();
    finish();
    return kExitGone;
}

int Loader::run() {
    if (int rc = build(); rc != 0) return rc;
    const End end = supervise();
    alarm(0);
    if (end == End::Gone) return gone();
    closing = true;
    if (end == End::Critical)
        std::fprintf(stderr, "pxr load: %s; ending the environment\n", critical_line.c_str());
    const int32_t status = area->exit_status;
    say("termination requested (exit status %s)", std::to_string(status));
    remove_exit_semaphore();
    close_environment();
    stop_children();
    finish();

    if (end == End::Critical) return kExitCritical;
    if (g_signal != 0) return signal_exit();
    if (status != 0)
        std::fprintf(stderr, "pxr load: the environment ended with exit status %d%s\n", status,
                     status_cause(status));
    return exit_code_for_status(status);
}

const char *Loader::status_cause(int32_t status) {
    if (status == -2)
        return ": fatal event 2, a buffer could not be had (no partition's parameter size "
               "holds the length asked for, or none had a free buffer), and fatal-action=1 "
               "ends the environment on it";
    if (status == -1)
        return ": a send failed for good (the destination's queue stayed full or has "
               "gone), and fatal-action=1 ends the environment on it";
    return "";
}

int Loader::signal_exit() {
    if (g_signal == SIGALRM) {
        std::fprintf(stderr, "pxr load: timeout; the environment was terminated\n");
        return kExitTimeout;
    }
    return 128 + g_signal;
}

} // namespace pxrtool::load
