// The signal gate of a waiting receive. A signal handler that runs while a receive waits ends
// the receive with null, whatever the handler's flags (SA_RESTART too). A handler that ran
// while the receiver was between two sleeps (looking at its queue, re-arming a sleep) leaves
// no trace the receiver could see, so the wait keeps the caller's asynchronous signals blocked
// while it looks, and lets them in only for its sleep, atomically: a signal that came
// meanwhile is pending at the sleep and ends the wait. Fault signals (SIGSEGV and the like)
// are never blocked: blocked, a fault would kill the process without its handler.
#pragma once

#include "env/futex.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <pthread.h>

namespace pxr_impl {

// Closed on the wait's first sleep, not before: a receive that finds its record at once makes
// no system call for the gate.
class SignalGate {
  public:
    SignalGate() = default;
    ~SignalGate() { open(); } // a signal still pending runs its handler now
    SignalGate(const SignalGate &) = delete;
    SignalGate &operator=(const SignalGate &) = delete;

    // Blocks the caller's asynchronous signals (the first time, keeping the caller's mask).
    void close() noexcept {
        if (shut_) return;
        if (!armed_) {
            sigfillset(&blocked_);
            for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
                sigdelset(&blocked_, sig);
        }
        pthread_sigmask(SIG_BLOCK, &blocked_, armed_ ? nullptr : &caller_);
        armed_ = shut_ = true;
    }
    // The caller's mask again, when the wait ends.
    void open() noexcept {
        if (!shut_) return;
        pthread_sigmask(SIG_SETMASK, &caller_, nullptr);
        shut_ = false;
    }
    // True when a signal the caller lets in came while the gate was closed: the wait ends,
    // and the handler runs when the gate opens.
    bool pending() const noexcept {
        if (!shut_) return false;
        sigset_t waiting;
        sigpending(&waiting);
        for (int sig = 1; sig < NSIG; ++sig)
            if (sigismember(&waiting, sig) == 1 && sigismember(&caller_, sig) == 0) return true;
        return false;
    }
    // A nap of ns with the caller's mask, set for the nap alone (ppoll). Closed gate only.
    Sleep nap(uint64_t ns) const noexcept {
        if (before_sleep_for_tests != nullptr) before_sleep_for_tests();
        const timespec ts{time_t(ns / 1000000000u), long(ns % 1000000000u)};
        if (ppoll(nullptr, 0, &ts, &caller_) == 0) return Sleep::timed_out;
        return errno == EINTR ? Sleep::interrupted : Sleep::woken;
    }

    // A futex sleep with the caller's mask. Closed gate only. Where the kernel cannot take the
    // mask with the sleep, the gate opens around a plain one: a signal that comes between the
    // opening and the sleep's start then runs its handler unseen by the wait, a window of a
    // few instructions.
    Sleep sleep(uint32_t *word, uint32_t expected, uint64_t ns) noexcept {
        const Sleep slept = futex_wait_masked(word, expected, ns, caller_);
        if (slept != Sleep::unavailable) return slept;
        if (pending()) return Sleep::interrupted;
        open();
        if (before_sleep_for_tests != nullptr) before_sleep_for_tests();
        const long rc = futex_wait(word, expected, ns);
        const int err = errno;
        close();
        if (rc == 0 || err == EAGAIN) return Sleep::woken;
        return err == EINTR ? Sleep::interrupted : Sleep::timed_out;
    }

  private:
    bool armed_ = false; // caller_ and blocked_ are known
    bool shut_ = false;
    sigset_t blocked_;
    sigset_t caller_;
};

} // namespace pxr_impl
