// Futex sleeps, and the masked one through a kernel submission ring (io_uring) per thread: the
// futex system call takes no signal mask, but io_uring's wait for a completion does, as ppoll
// does, and io_uring can wait on a futex (Linux 6.7).
#include "env/futex.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <linux/io_uring.h>
#include <linux/time_types.h>
#include <mutex>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pxr_impl {

void (*before_sleep_for_tests)() = nullptr;
bool masked_sleep_refused_for_tests = false;

long futex_wait(uint32_t *word, uint32_t expected, uint64_t ns) noexcept {
    const timespec ts{time_t(ns / 1000000000u), long(ns % 1000000000u)};
    return syscall(SYS_futex, word, FUTEX_WAIT, expected, &ts, nullptr, 0);
}

long futex_wake(uint32_t *word, int count) noexcept {
    return syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}

namespace {

// Newer than the kernel headers the library may be built against.
constexpr uint8_t kOpFutexWait = 51;      // IORING_OP_FUTEX_WAIT
constexpr uint32_t kFutex2SizeU32 = 0x02; // FUTEX2_SIZE_U32, without FUTEX2_PRIVATE
constexpr uint32_t kProbeOps = 64;        // enough to cover kOpFutexWait
constexpr unsigned kEntries = 2;          // a sleep and, after a signal or the time, its cancel
constexpr uint64_t kSleepTag = 1, kCancelTag = 2;

long enter(int fd, unsigned submit, unsigned complete, unsigned flags, const void *arg,
           size_t arg_size) noexcept {
    return syscall(__NR_io_uring_enter, fd, submit, complete, flags, arg, arg_size);
}

template <class T>
T *at(void *base, uint32_t offset) noexcept {
    return reinterpret_cast<T *>(static_cast<char *>(base) + offset);
}

// One thread's ring. The kernel writes the completion side; the thread alone submits and reaps.
struct SleepRing {
    int fd = -1;
    dev_t fd_dev = 0;         // what fd named when the ring was made: a program that closed it and
    ino_t fd_ino = 0;         // reused the number keeps its file
    void *rings = MAP_FAILED; // the submission and completion rings, in one mapping
    size_t rings_size = 0;
    void *sqes_map = MAP_FAILED;
    size_t sqes_size = 0;
    io_uring_sqe *sqes = nullptr;
    uint32_t *sq_tail = nullptr, *sq_mask = nullptr, *sq_array = nullptr;
    uint32_t *cq_head = nullptr, *cq_tail = nullptr, *cq_mask = nullptr;
    io_uring_cqe *cqes = nullptr;
    SleepRing *next = nullptr; // in the process's list of rings

    SleepRing() = default;
    SleepRing(const SleepRing &) = delete;
    SleepRing &operator=(const SleepRing &) = delete;
    ~SleepRing();

    bool open() noexcept;
    void unmap() noexcept {
        if (sqes_map != MAP_FAILED) munmap(sqes_map, sqes_size);
        if (rings != MAP_FAILED) munmap(rings, rings_size);
        struct stat now {};
        if (fd >= 0 && fstat(fd, &now) == 0 && now.st_dev == fd_dev && now.st_ino == fd_ino)
            close(fd);
        fd = -1;
        rings = sqes_map = MAP_FAILED;
        next = nullptr;
    }

    void push(uint8_t opcode, uint64_t tag, uint32_t *word, uint64_t value) noexcept {
        const uint32_t tail = *sq_tail;
        const uint32_t index = tail & *sq_mask;
        io_uring_sqe &sqe = sqes[index];
        std::memset(&sqe, 0, sizeof sqe);
        sqe.opcode = opcode;
        sqe.user_data = tag;
        sqe.addr = reinterpret_cast<uintptr_t>(word);
        if (opcode == kOpFutexWait) {
            sqe.fd = int32_t(kFutex2SizeU32);
            sqe.addr2 = value;                  // the expected value
            sqe.addr3 = FUTEX_BITSET_MATCH_ANY; // woken by any FUTEX_WAKE
        } else {
            sqe.addr = kSleepTag; // IORING_OP_ASYNC_CANCEL: the request to cancel
        }
        sq_array[index] = index;
        std::atomic_ref<uint32_t>(*sq_tail).store(tail + 1, std::memory_order_release);
    }
    // Takes every completion there is: the tags seen, as bits, and the sleep's result.
    unsigned reap(int32_t &sleep_result) noexcept {
        unsigned seen = 0;
        uint32_t head = *cq_head;
        const uint32_t tail = std::atomic_ref<uint32_t>(*cq_tail).load(std::memory_order_acquire);
        for (; head != tail; ++head) {
            const io_uring_cqe &cqe = cqes[head & *cq_mask];
            seen |= 1u << cqe.user_data;
            if (cqe.user_data == kSleepTag) sleep_result = cqe.res;
        }
        std::atomic_ref<uint32_t>(*cq_head).store(head, std::memory_order_release);
        return seen;
    }
};

// Rings of this process's threads: a forked copy closes its inherited ones, for a parent's
// ring handed to its copy would complete one's sleeps in the other.
std::mutex rings_lock;
SleepRing *rings = nullptr;
std::atomic<bool> unavailable{false}; // a ring or its futex wait could not be had: never again

// Out of the list, and closed.
void drop(SleepRing &r) noexcept {
    if (r.fd < 0) return;
    {
        const std::lock_guard hold(rings_lock);
        for (SleepRing **p = &rings; *p != nullptr; p = &(*p)->next)
            if (*p == &r) {
                *p = r.next;
                break;
            }
    }
    r.unmap();
}

SleepRing::~SleepRing() {
    drop(*this);
}

bool futex_wait_supported(int fd) noexcept {
    alignas(io_uring_probe) char
        space[sizeof(io_uring_probe) + kProbeOps * sizeof(io_uring_probe_op)] = {};
    auto *probe = reinterpret_cast<io_uring_probe *>(space);
    if (syscall(__NR_io_uring_register, fd, IORING_REGISTER_PROBE, probe, kProbeOps) != 0)
        return false;
    return probe->last_op >= kOpFutexWait &&
           (probe->ops[kOpFutexWait].flags & IO_URING_OP_SUPPORTED) != 0;
}

bool SleepRing::open() noexcept {
    // One thread submits, and only while it waits for completions: the kernel then runs a
    // wake-up's completion work in that wait, not by interrupting the thread (Linux 6.1).
    io_uring_params p{};
    p.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    fd = int(syscall(__NR_io_uring_setup, kEntries, &p));
    if (fd < 0 && errno == EINVAL) {
        p = io_uring_params{};
        fd = int(syscall(__NR_io_uring_setup, kEntries, &p));
    }
    struct stat made {};
    if (fd >= 0 && fstat(fd, &made) != 0) close(fd), fd = -1;
    if (fd < 0) return false;
    fd_dev = made.st_dev, fd_ino = made.st_ino;
    constexpr uint32_t kNeeded = IORING_FEAT_SINGLE_MMAP | IORING_FEAT_EXT_ARG;
    if ((p.features & kNeeded) != kNeeded || !futex_wait_supported(fd)) return false;
    rings_size = std::max<size_t>(p.sq_off.array + p.sq_entries * sizeof(uint32_t),
                                  p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe));
    rings = mmap(nullptr, rings_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
                 IORING_OFF_SQ_RING);
    sqes_size = p.sq_entries * sizeof(io_uring_sqe);
    sqes_map = mmap(nullptr, sqes_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
                    IORING_OFF_SQES);
    if (rings == MAP_FAILED || sqes_map == MAP_FAILED) return false;
    sqes = static_cast<io_uring_sqe *>(sqes_map);
    sq_tail = at<uint32_t>(rings, p.sq_off.tail);
    sq_mask = at<uint32_t>(rings, p.sq_off.ring_mask);
    sq_array = at<uint32_t>(rings, p.sq_off.array);
    cq_head = at<uint32_t>(rings, p.cq_off.head);
    cq_tail = at<uint32_t>(rings, p.cq_off.tail);
    cq_mask = at<uint32_t>(rings, p.cq_off.ring_mask);
    cqes = at<io_uring_cqe>(rings, p.cq_off.cqes);
    return true;
}

void lock_rings() noexcept {
    rings_lock.lock();
}
void unlock_rings() noexcept {
    rings_lock.unlock();
}
void forget_rings_in_child() noexcept {
    for (SleepRing *r = rings; r != nullptr;) {
        SleepRing *next = r->next;
        r->unmap();
        r = next;
    }
    rings = nullptr;
    rings_lock.unlock();
}

thread_local SleepRing own_ring;

// The calling thread's ring, made on its first sleep; null when none can be had.
SleepRing *thread_ring() noexcept {
    if (own_ring.fd >= 0) [[likely]]
        return &own_ring;
    if (unavailable.load(std::memory_order_relaxed)) return nullptr;
    static std::once_flag watch_forks;
    std::call_once(watch_forks,
                   [] { pthread_atfork(lock_rings, unlock_rings, forget_rings_in_child); });
    if (!own_ring.open()) {
        own_ring.unmap();
        unavailable.store(true, std::memory_order_relaxed);
        return nullptr;
    }
    const std::lock_guard hold(rings_lock);
    own_ring.next = rings;
    rings = &own_ring;
    return &own_ring;
}

// The sleep ended without its completion: cancel it and take both completions, so the ring is
// empty for the next sleep. The caller's signals are blocked meanwhile (only a stop interrupts).
// False when the ring failed.
bool cancel_sleep(SleepRing &r, unsigned seen) noexcept {
    r.push(IORING_OP_ASYNC_CANCEL, kCancelTag, nullptr, 0);
    constexpr unsigned kBoth = 1u << kSleepTag | 1u << kCancelTag;
    for (unsigned submit = 1; (seen & kBoth) != kBoth;) {
        const long rc = enter(r.fd, submit, 1, IORING_ENTER_GETEVENTS, nullptr, 0);
        if (rc < 0 && errno != EINTR) return false;
        if (rc > 0) submit = 0;
        int32_t result = 0;
        seen |= r.reap(result);
    }
    return true;
}

// This thread's ring failed: it goes, and this process sleeps the plain way from now on.
Sleep give_up() noexcept {
    drop(own_ring);
    unavailable.store(true, std::memory_order_relaxed);
    return Sleep::unavailable;
}

} // namespace

Sleep futex_wait_masked(uint32_t *word, uint32_t expected, uint64_t ns,
                        const sigset_t &mask) noexcept {
    if (masked_sleep_refused_for_tests) return Sleep::unavailable;
    SleepRing *r = thread_ring();
    if (r == nullptr) return Sleep::unavailable;
    r->push(kOpFutexWait, kSleepTag, word, expected);
    // Submitted alone first, so that the wait below answers for itself (an enter that submits
    // answers how many it submitted, whatever its wait met).
    if (enter(r->fd, 1, 0, 0, nullptr, 0) != 1) return give_up();
    if (before_sleep_for_tests != nullptr) before_sleep_for_tests();
    const __kernel_timespec ts{int64_t(ns / 1000000000u), int64_t(ns % 1000000000u)};
    const io_uring_getevents_arg arg{reinterpret_cast<uintptr_t>(&mask), _NSIG / 8, 0,
                                     reinterpret_cast<uintptr_t>(&ts)};
    const long rc =
        enter(r->fd, 0, 1, IORING_ENTER_GETEVENTS | IORING_ENTER_EXT_ARG, &arg, sizeof arg);
    const int err = errno;
    int32_t result = 0;
    const unsigned seen = r->reap(result);
    if ((seen & 1u << kSleepTag) == 0 && !cancel_sleep(*r, seen)) return give_up();
    // A handler ran: the sleep ends interrupted even when a wake-up came with the signal.
    if (rc < 0 && err == EINTR) return Sleep::interrupted;
    // Woken, or the word had changed: either way the caller looks again. Anything else (a
    // kernel that refuses the request) would come back at once on every sleep.
    if ((seen & 1u << kSleepTag) != 0)
        return result == 0 || result == -EAGAIN ? Sleep::woken : give_up();
    return rc < 0 && err == ETIME ? Sleep::timed_out : Sleep::woken;
}

} // namespace pxr_impl
