// The signal gate of a waiting receive. A signal handler that runs while a receive waits ends
// the receive with null, whatever the handler's flags (SA_RESTART too). A handler that ran
// while the receiver was between two sleeps (looking at its queue, re-arming a sleep) leaves
// no trace the receiver could see, so the wait keeps the caller's asynchronous signals blocked
// while it looks, and lets them in only around its sleep: a signal that came meanwhile is
// pending at the next look and ends the wait. Fault signals (SIGSEGV and the like) are never
// blocked: blocked, a fault would kill the process without its handler.
#pragma once

#include <csignal>
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
    // The caller's mask again, around a sleep that takes none: a signal that comes between
    // open and the sleep's start runs its handler before the sleep, unseen by the wait; the
    // gate narrows that to a few instructions.
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
    // The caller's mask, for a sleep that sets it for its own duration alone (ppoll). Closed
    // gate only.
    const sigset_t *caller() const noexcept { return &caller_; }

  private:
    bool armed_ = false; // caller_ and blocked_ are known
    bool shut_ = false;
    sigset_t blocked_;
    sigset_t caller_;
};

} // namespace pxr_impl
