// Fatal events, the tick and the shared counters, across real processes.
#include "ipc_test.h"

#include <algorithm>
#include <sys/mman.h>

namespace {

using namespace pxrtest;

class Events : public RunningEnvTest {};

// Waits until n processes block on the fatal-event semaphore.
bool waiters_blocked(int n) {
    for (int i = 0; i < 300; ++i) {
        if (semctl(common_ptr->fatal_semid, 0, GETNCNT) == n) return true;
        PLAT_delay(10);
    }
    return false;
}

// Exits with the fatal event code it got (or 200 + error).
pid_t start_waiter(bool alone = false) {
    return start_child([alone] {
        SYS_add_signal([](int) {}, 2); // an interrupted wait must go on waiting
        uint32_t code = 99;
        const int rc = PXR_block_event(&code);
        // The latch stays open while this waiter lives: others need not wait for its exit.
        if (alone && rc == 0 && semctl(common_ptr->fatal_semid, 0, GETVAL) < 1) return 100;
        return rc == 0 ? int(code) : 200 + rc;
    });
}

TEST_F(Events, FirstFatalEventWakesEveryWaiterAndStaysRecorded) {
    pid_t waiters[3] = {start_waiter(), start_waiter(), start_waiter()};
    ASSERT_TRUE(waiters_blocked(3));
    for (pid_t w : waiters) kill(w, SIGUSR1);
    PLAT_delay(50);
    ASSERT_TRUE(waiters_blocked(3));

    EXPECT_EQ(PXR_fatal_event(2), 0);
    for (pid_t w : waiters) EXPECT_EQ(wait_child(w), 2);

    // A later event changes nothing; later waiters pass at once with the first code.
    EXPECT_EQ(PXR_fatal_event(7), 0);
    EXPECT_EQ(common_ptr->fatal_code, 2u);
    EXPECT_EQ(wait_child(start_waiter(true)), 2);
}

TEST_F(Events, EventZeroOpensTheLatchWithoutRecordingACode) {
    pid_t waiter = start_waiter(true);
    ASSERT_TRUE(waiters_blocked(1));
    EXPECT_EQ(PXR_fatal_event(0), 0);
    EXPECT_EQ(wait_child(waiter), 0);
    EXPECT_EQ(PXR_fatal_event(4), 0);
    EXPECT_EQ(common_ptr->fatal_code, 4u);
}

TEST_F(Events, CloseWakesWaitersWithCodeOne) {
    pid_t waiter = start_child([] {
        uint32_t code = 99;
        if (PXR_block_event(&code) != 0 || code != 1) return 1;
        return PXR_block_event(&code) == -1 ? 0 : 2;
    });
    ASSERT_TRUE(waiters_blocked(1));
    EXPECT_EQ(PXR_close(), 0);
    EXPECT_EQ(wait_child(waiter), 0);
}

TEST_F(Events, ConcurrentIncrementsLoseNothingAndHandOutDistinctValues) {
    constexpr int kChildren = 4, kEach = 2000;
    auto *seen = static_cast<uint8_t *>(mmap(nullptr, kChildren * kEach, PROT_READ | PROT_WRITE,
                                             MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(seen, MAP_FAILED);
    pid_t kids[kChildren];
    for (pid_t &k : kids)
        k = start_child([seen] {
            for (int i = 0; i < kEach; ++i) {
                uint32_t v = 0;
                if (PXR_increment_counter(5, &v) != 0 || v == 0 || v > kChildren * kEach) return 1;
                __atomic_fetch_add(&seen[v - 1], 1, __ATOMIC_RELAXED);
            }
            return 0;
        });
    for (pid_t k : kids) EXPECT_EQ(wait_child(k), 0);
    EXPECT_EQ(*counter_ptr[5], uint32_t(kChildren * kEach));
    EXPECT_EQ(std::count(seen, seen + kChildren * kEach, 1), kChildren * kEach); // no duplicate
    munmap(seen, kChildren * kEach);
}

TEST_F(Events, CounterBoundsWrapAndTick) {
    uint32_t v = 77;
    EXPECT_EQ(PXR_preset_counter(19, 0xFFFFFFFFu), 0);
    EXPECT_EQ(PXR_increment_counter(19, &v), 0);
    EXPECT_EQ(v, 0u);
    v = 77;
    EXPECT_EQ(PXR_increment_counter(20, &v), -1);
    EXPECT_EQ(PXR_increment_counter(-1, &v), -1);
    EXPECT_EQ(PXR_preset_counter(20, 1), -1);
    EXPECT_EQ(v, 77u);

    for (int i = 0; i < 3; ++i) EXPECT_EQ(SYS_timer_tick(), 0);
    EXPECT_EQ(run_child([] { return PXR_unlink(), int(PXR_get_time()); }),
              3); // lazy attach

    // Operations for attached callers refuse rather than touch an unmapped area.
    PXR_unlink();
    EXPECT_EQ(PXR_increment_counter(0, &v), -1);
    EXPECT_EQ(PXR_fatal_event(2), 1);
}

} // namespace
