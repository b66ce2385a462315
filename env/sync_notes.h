// What ThreadSanitizer cannot see for itself: a System V semaphore taken as a lock, and a
// record that passes through a kernel queue, order the memory accesses of the threads that
// use them (the kernel call is the synchronisation). These notes tell it so; in every other
// build they are empty.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define PXR_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PXR_THREAD_SANITIZER 1
#endif
#endif

#ifdef PXR_THREAD_SANITIZER
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
extern "C" void AnnotateIgnoreWritesBegin(const char *file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char *file, int line);
#endif

namespace pxr_impl {

// What the calling thread wrote before this note is seen by a thread after its
// synced_after(token) on the same token.
inline void synced_before([[maybe_unused]] const void *token) noexcept {
#ifdef PXR_THREAD_SANITIZER
    __tsan_release(const_cast<void *>(token));
#endif
}
inline void synced_after([[maybe_unused]] const void *token) noexcept {
#ifdef PXR_THREAD_SANITIZER
    __tsan_acquire(const_cast<void *>(token));
#endif
}

// A record the kernel writes into shared memory (msgrcv into a receive landing) is read by
// other processes at any instant, and the landing's protocol is made for that (its fields are
// reset before each receive, and a reader takes a half-written record for none). Threads of
// one process reading it meanwhile are the same case, not a race of this process's code.
struct KernelWrites {
#ifdef PXR_THREAD_SANITIZER
    KernelWrites() noexcept {
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
    }
    ~KernelWrites() {
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    }
#else
    KernelWrites() noexcept = default;
#endif
    KernelWrites(const KernelWrites &) = delete;
    KernelWrites &operator=(const KernelWrites &) = delete;
};

// The token of a lock semaphore: one byte per id modulo the table (ids that share a byte
// only add orderings).
inline const void *lock_token(int semid) noexcept {
    static char tokens[64];
    return &tokens[unsigned(semid) % sizeof tokens];
}

} // namespace pxr_impl
