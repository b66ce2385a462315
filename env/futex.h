// Futex sleeps on words of shared memory, and a sleep that lets signals in only for its own
// duration. The words are shared between processes, so no call here uses the private futexes.
#pragma once

#include <csignal>
#include <cstdint>

namespace pxr_impl {

// Sleeps while *word == expected, for at most ns: 0 woken (or the word had changed), -1 with
// errno (ETIMEDOUT, EINTR, EAGAIN).
long futex_wait(uint32_t *word, uint32_t expected, uint64_t ns) noexcept;
// Wakes up to count sleepers of word; answers how many were asleep in the kernel.
long futex_wake(uint32_t *word, int count) noexcept;

enum class Sleep {
    woken,       // woken, or the word no longer held the expected value
    timed_out,   // ns passed
    interrupted, // a signal that mask lets in was handled
    unavailable, // this process cannot make the sleep: the caller sleeps another way
};

// The futex sleep with the signal mask of ppoll: the calling thread's mask is replaced by mask
// for the sleep alone, atomically, so a signal that was pending or comes at any instant ends
// it. The caller blocks the signals mask lets in before it looks at the word, and keeps them
// blocked after. Each thread keeps a small kernel submission ring of its own (made on its
// first sleep, closed at its end; a forked copy makes its own); unavailable where the kernel
// cannot wait on a futex that way.
Sleep futex_wait_masked(uint32_t *word, uint32_t expected, uint64_t ns,
                        const sigset_t &mask) noexcept;

// For tests: run just before a masked sleep starts, or before the plain sleep that stands in for
// it (where no signal is blocked any more); and refuse the masked sleep, so the stand-in runs.
extern void (*before_sleep_for_tests)();
extern bool masked_sleep_refused_for_tests;

} // namespace pxr_impl
