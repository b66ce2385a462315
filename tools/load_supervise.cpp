// Supervising the processes the loader starts: starting, recording, and what follows the end
// of one (its report line, its buffers, its restart policy).
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

bool Loader::start(Child &c, std::string &why) {
    const SpawnConfig &s = *c.line;
    std::vector<char *> argv;
    for (const std::string &a : s.argv) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        why = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::fflush(nullptr); // the child must not inherit unwritten output
    // No handler of the loader may run in the child before it has reset them.
    sigset_t all, saved;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &saved);
    pid_t pid = fork();
    if (pid != 0) sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) {
        why = std::string("fork: ") + std::strerror(errno);
        close(pipefd[0]);
        close(pipefd[1]);
        return false;
    }
    if (pid == 0) {
        close(pipefd[0]);
        restore_handlers();
        std::signal(SIGPIPE, SIG_DFL); // an ignored signal would stay ignored across exec
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // The step that failed (0 chdir, 1 exec, 2 pin) and its errno go to the loader.
        auto give_up = [&](int step) {
            int err[2] = {step, errno};
            ssize_t w = write(pipefd[1], err, sizeof err);
            (void)w;
            _exit(127);
        };
        if (!s.cwd.empty() && chdir(s.cwd.c_str()) != 0) give_up(0);
        if (!s.cpus.empty()) {
            cpu_set_t set;
            CPU_ZERO(&set);
            for (uint16_t cpu : s.cpus) CPU_SET(cpu, &set);
            if (sched_setaffinity(0, sizeof set, &set) != 0) give_up(2);
        }
        for (const std::string &e : s.env) putenv(const_cast<char *>(e.c_str()));
        execvp(s.program.c_str(), argv.data());
        give_up(1);
    }
    close(pipefd[1]);
    int err[2];
    ssize_t n;
    do {
        n = read(pipefd[0], err, sizeof err);
    } while (n < 0 && errno == EINTR);
    close(pipefd[0]);
    if (n == ssize_t(sizeof err)) {
        waitpid(pid, nullptr, 0);
        why = std::string(err[0] == 0   ? "cannot enter " + s.cwd
                          : err[0] == 2 ? "cannot pin " + s.program + " to its cpu list"
                                        : "cannot execute " + s.program) +
              ": " + std::strerror(err[1]);
        return false;
    }
    c.pid = pid;
    c.started_ms = now_ms();
    c.started_epoch = int64_t(time(nullptr));
    c.state = ProcState::Running; // the last end stays shown until the next one
    return true;
}

int Loader::record(Child &c) {
    int rc = c.recorded_pid > 0 ? SYS_replace_pid(c.recorded_pid, c.pid, kLockWaitMs) : 1;
    if (rc == 1) rc = SYS_add_pid_within(c.pid, c.name(), kLockWaitMs);
    c.record_pending = rc == 2;
    if (rc == 0) c.recorded_pid = c.pid;
    return rc;
}

int Loader::lock_holder() {
    const int semid = semget(PXR_KEY_SYSTEM_LOCK, 0, 0);
    return semid < 0 ? 0 : semctl(semid, 0, GETPID);
}

void Loader::record_pending() {
    for (Child &c : children)
        if (c.record_pending && c.state == ProcState::Running && record(c) == 0)
            say("recorded %s (pid %ld) now that the system lock is free", c.name(), long(c.pid));
}

void Loader::launch(Child &c) {
    std::string why;
    if (!start(c, why)) {
        std::fprintf(stderr, "pxr load: cannot start '%s': %s\n", c.name(), why.c_str());
        c.pid = 0;
        c.exit_code = 127;
        c.state = ProcState::NotStarted;
        decide_after_end(c, /*failed=*/true, /*ran_ms=*/0);
        return;
    }
    const int recorded = record(c);
    if (recorded == 2)
        std::fprintf(stderr,
                     "pxr load: the system lock is held (pid %d took it last); '%s' (pid %d) "
                     "is recorded once it is free\n",
                     lock_holder(), c.name(), int(c.pid));
    if (recorded == 1) {
        // A process that is not recorded would not be stopped by the close: stop it.
        std::fprintf(stderr,
                     "pxr load: cannot record '%s' (pid %d) in the process table; "
                     "stopped it\n",
                     c.name(), int(c.pid));
        kill(c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
        c.state = ProcState::NotStarted;
        publish(c);
        return;
    }
    say(c.restarts == 0 ? "started %s (pid %ld)" : "restarted %s (pid %ld)", c.name(), long(c.pid));
    publish(c);
}

std::string Loader::end_text(const Child &c) {
    return c.signal != 0 ? describe_end(-1, c.signal, c.core) : describe_end(c.exit_code, 0, false);
}

std::string Loader::decide_after_end(Child &c, bool failed, long ran_ms) {
    const SpawnConfig &s = *c.line;
    if (ran_ms >= kRestartResetMs || c.restarts == 0) {
        c.streak = 0;
        c.backoff_ms = s.restart_delay_ms;
    }
    bool again =
        s.restart == RestartPolicy::Always || (s.restart == RestartPolicy::OnFailure && failed);
    std::string next;
    if (again && s.restart_limit != 0 && c.streak >= s.restart_limit) {
        c.state = ProcState::GaveUp;
        next = "gave up after " + std::to_string(c.streak) + " restarts in a row";
        again = false;
    } else if (again) {
        c.state = ProcState::Restarting;
        c.restart_at_ms = now_ms() + c.backoff_ms;
        char buf[64];
        std::snprintf(buf, sizeof buf, "restarting in %ld ms", c.backoff_ms);
        next = buf;
        c.backoff_ms =
            std::min(c.backoff_ms * 2, std::max(kBackoffMaxMs, long(s.restart_delay_ms)));
    } else if (c.state != ProcState::NotStarted) {
        c.state = c.signal != 0 ? ProcState::Killed : ProcState::Exited;
        next = "not restarted (restart=" +
               std::string(s.restart == RestartPolicy::No ? "no" : "on-failure") + ")";
    } else {
        next = "not restarted";
    }
    if (!again && s.critical) {
        next += "; it is critical: ending the environment";
        if (critical_line.empty()) {
            critical_line = "critical process '" + std::string(c.name()) + "'" +
                            (c.pid > 0 ? " (pid " + std::to_string(c.pid) + ")" : "") + " ended (" +
                            (c.pid > 0 ? end_text(c) : "not started") + ")";
        }
    }
    publish(c);
    return next;
}

std::string Loader::reclaim_for(pid_t pid) {
    PXR_reclaim_stats st{};
    if (PXR_reclaim_buffers(int32_t(pid), 0, &st, nullptr, 0) != 0) return "";
    std::string note;
    if (st.returned != 0)
        note += "; " + std::to_string(st.returned) + " buffer" + (st.returned == 1 ? "" : "s") +
                " it held returned";
    if (st.queued != 0) note += "; " + std::to_string(st.queued) + " it sent still queued";
    return note;
}

void Loader::child_ended(Child &c, int status) {
    const long ran = now_ms() - c.started_ms;
    const pid_t pid = c.pid;
    c.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    c.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    c.core = WIFSIGNALED(status) && WCOREDUMP(status);
    const bool failed = c.signal != 0 || c.exit_code != 0;
    if (closing) {
        c.state = c.signal != 0 ? ProcState::Killed : ProcState::Exited;
        publish(c);
        say("%s ended while the environment closes (pid %ld)", c.name(), long(pid));
        return;
    }
    const std::string reclaimed = is_bridge(c) ? "" : reclaim_for(pid);
    const std::string next = decide_after_end(c, failed, ran);
    std::fprintf(stderr, "pxr load: %s (pid %d) %s %s after %.1f s%s; %s\n", c.name(), int(pid),
                 c.signal != 0 ? "was killed by" : "exited with", end_text(c).c_str(),
                 double(ran) / 1000.0, reclaimed.c_str(), next.c_str());
    if (c.state != ProcState::Restarting && critical_line.empty() && nothing_left())
        std::fprintf(stderr, "pxr load: no spawned process runs any more; the environment "
                             "stays up until 'pxr terminate'\n");
}

bool Loader::is_bridge(const Child &c) const {
    return cfg.bridge.defined && c.line == &cfg.spawns.front();
}

bool Loader::bridge_settled() const {
    for (const Child &c : children)
        if (is_bridge(c))
            return c.state != ProcState::Restarting &&
                   (c.state != ProcState::Running || bridge_took_over(c.pid));
    return true;
}

bool Loader::nothing_left() const {
    if (children.empty()) return false;
    for (const Child &c : children)
        if (c.state == ProcState::Running || c.state == ProcState::Restarting) return false;
    return true;
}

Child *Loader::child_of(pid_t pid) {
    for (Child &c : children)
        if (c.pid == pid && c.state == ProcState::Running) return &c;
    return nullptr;
}

void Loader::reap_ended() {
    g_child = 0;
    for (;;) {
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        if (Child *c = child_of(pid)) child_ended(*c, status);
    }
}

void Loader::restart_due() {
    const long now = now_ms();
    for (Child &c : children) {
        if (c.state != ProcState::Restarting || now < c.restart_at_ms) continue;
        ++c.restarts;
        ++c.streak;
        launch(c);
    }
}

long Loader::next_restart_in() const {
    long wait = kTickMs;
    const long now = now_ms();
    for (const Child &c : children)
        if (c.state == ProcState::Restarting)
            wait = std::min(wait, std::max(0L, c.restart_at_ms - now));
    return wait;
}

} // namespace pxrtool::load
