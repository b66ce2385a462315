// The ring protocol alone, driven by threads: exactly once and in order per sender, the wrap
// of the sequence words, a full ring, several receivers, skipped positions, waits that end.
#include "env/ring.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace ring = pxr_impl::ring;

// One ring in heap memory, positions starting just below 2^32 so every run crosses the wrap.
struct Block {
    ring::Header header{};
    std::vector<uint64_t> slots;
    explicit Block(uint32_t capacity, uint64_t first = (uint64_t(1) << 32) - 1000)
        : slots(capacity) {
        ring::reset(view(), 7, first);
    }
    uint32_t settle_ns = ring::kSettleNs;
    uint64_t safety_ns = ring::kSafetyNs;
    ring::View view() {
        return {&header, slots.data(), uint32_t(slots.size()), settle_ns, safety_ns};
    }
};

// Senders fill a 16-record ring with numbered records (sender in the top byte), retrying while
// it is full, one at a time or in batches of 5 and 16 (which a nearly full ring cuts short):
// each record reaches one receiver, and each receiver sees each sender's in order.
TEST(RingThreads, EveryRecordOnceAndInOrderPerSenderWithSeveralReceivers) {
    constexpr uint32_t kSenders = 3, kReceivers = 2, kPerSender = 40000;
    Block b(16);
    std::atomic<uint32_t> received{0}, disorder{0};
    std::vector<std::vector<uint8_t>> seen(kSenders, std::vector<uint8_t>(kPerSender));

    std::vector<std::thread> threads;
    for (uint32_t r = 0; r < kReceivers; ++r)
        threads.emplace_back([&] {
            ring::Cursor cursor;
            int64_t last[kSenders] = {-1, -1, -1};
            uint32_t ref;
            while (received.load() < kSenders * kPerSender) {
                if (ring::pop_wait(b.view(), cursor, 1, 7, ring::now_ns() + 20000000, ref) !=
                    ring::Wait::got)
                    continue;
                const uint32_t s = ref >> 24, n = ref & 0xFFFFFF;
                if (int64_t(n) <= last[s]) disorder.fetch_add(1);
                last[s] = n;
                seen[s][n] = uint8_t(seen[s][n] + 1); // each record has one receiver
                received.fetch_add(1);
            }
        });
    for (uint32_t s = 0; s < kSenders; ++s)
        threads.emplace_back([&, s] {
            const uint32_t batch = s == 0 ? 1 : s == 1 ? 5 : 16;
            uint32_t refs[16];
            for (uint32_t n = 0; n < kPerSender;) {
                const uint32_t count = std::min(batch, kPerSender - n);
                for (uint32_t i = 0; i < count; ++i) refs[i] = s << 24 | (n + i);
                uint32_t sent = 0;
                if (batch == 1)
                    sent = ring::push(b.view(), refs[0]) == ring::Put::done ? 1 : 0;
                else
                    ring::push_many(b.view(), refs, count, sent);
                n += sent;
                if (sent < count) std::this_thread::yield(); // full
            }
        });
    for (std::thread &t : threads) t.join();

    EXPECT_EQ(disorder.load(), 0u);
    for (const auto &per_sender : seen)
        for (uint8_t count : per_sender) ASSERT_EQ(count, 1);
    EXPECT_EQ(ring::depth(b.view()), 0u);
    EXPECT_GE(b.header.head, uint64_t(1) << 32); // crossed the wrap
}

TEST(RingThreads, FullRingAndWhatDeadSendersAndReceiversLeave) {
    Block b(16);
    ring::Cursor cursor;
    uint32_t ref = 0;
    for (uint32_t i = 0; i < 16; ++i) ASSERT_EQ(ring::push(b.view(), i), ring::Put::done);
    EXPECT_EQ(std::tuple(ring::push(b.view(), 99), ring::depth(b.view())),
              std::tuple(ring::Put::full, 16u));
    ASSERT_EQ(ring::try_pop(b.view(), cursor, 42, ref), ring::Take::got);
    EXPECT_EQ(std::tuple(ref, b.header.last_pid), std::tuple(0u, 42));
    EXPECT_EQ(ring::push(b.view(), 16), ring::Put::done);
    for (uint32_t i = 1; i <= 16; ++i) {
        ASSERT_EQ(ring::try_pop(b.view(), cursor, 42, ref), ring::Take::got);
        EXPECT_EQ(ref, i);
    }
    EXPECT_EQ(ring::try_pop(b.view(), cursor, 42, ref), ring::Take::empty);

    // A sender reserves a position and dies before its commit: the record behind it waits
    // for the repair time, then the position is skipped and that record delivered.
    std::atomic_ref<uint64_t>(b.header.tail).fetch_add(1);
    ASSERT_EQ(ring::push(b.view(), 77), ring::Put::done);
    uint64_t wait_ns = 0;
    EXPECT_EQ(ring::try_pop(b.view(), cursor, 42, ref, &wait_ns), ring::Take::pending);
    EXPECT_GT(wait_ns, 0u);
    EXPECT_LE(wait_ns, ring::kRepairNs);
    ASSERT_EQ(ring::pop_wait(b.view(), cursor, 42, 7, ring::kForever, ref), ring::Wait::got);
    EXPECT_EQ(std::tuple(ref, ring::depth(b.view())), std::tuple(77u, 0u));

    // A receiver claims a record and dies before freeing its slot: the ring holds one record
    // fewer until the slot is released.
    ASSERT_EQ(ring::push(b.view(), 1), ring::Put::done);
    std::atomic_ref<uint64_t>(b.header.head).fetch_add(1);
    for (uint32_t i = 0; i < 15; ++i) ASSERT_EQ(ring::push(b.view(), i), ring::Put::done);
    EXPECT_EQ(ring::push(b.view(), 99), ring::Put::full);
    EXPECT_EQ(ring::release_taken(b.view()), 1);
    EXPECT_EQ(ring::push(b.view(), 15), ring::Put::done);
    EXPECT_EQ(ring::release_taken(b.view()), 0);
    // One only stopped there: a sender that needs its slot frees it after the repair time (the
    // receiver's landing still names the record).
    std::atomic_ref<uint64_t>(b.header.head).fetch_add(1);
    EXPECT_EQ(ring::push(b.view(), 16), ring::Put::full);
    std::this_thread::sleep_for(std::chrono::nanoseconds(ring::kRepairNs));
    EXPECT_EQ(ring::push(b.view(), 16), ring::Put::done);
}

// A batch into a nearly full ring goes in as far as it fits, in order; a batch whose sender
// dies after its reservation and some commits delivers those, and the records sent after it
// come once its uncommitted positions are skipped. A hole (a position a slow batch sender gave
// up) is passed over by receivers and by a reclaim's reading of the ring.
TEST(RingThreads, BatchesPartlyFullKilledMidwayAndHoles) {
    Block b(16);
    ring::Cursor cursor;
    uint32_t ref = 0, sent = 0;
    const uint32_t refs[20] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                               10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    ASSERT_EQ(ring::push_many(b.view(), refs, 10, sent), ring::Put::done);
    EXPECT_EQ(sent, 10u);
    EXPECT_EQ(ring::push_many(b.view(), refs + 10, 10, sent), ring::Put::full);
    EXPECT_EQ(std::tuple(sent, ring::depth(b.view())), std::tuple(6u, 16u));
    for (uint32_t i = 0; i < 16; ++i) {
        ASSERT_EQ(ring::try_pop(b.view(), cursor, 1, ref), ring::Take::got);
        EXPECT_EQ(ref, i);
    }

    // Killed mid-batch: 2 of 5 reserved positions committed.
    std::atomic_ref<uint64_t>(b.header.tail).fetch_add(5);
    const uint64_t first = b.header.tail - 5;
    for (uint64_t pos = first; pos < first + 2; ++pos)
        b.slots[pos % 16] = uint64_t(100 + pos - first) << 32 | uint32_t(pos + 1);
    ASSERT_EQ(ring::push_many(b.view(), refs + 7, 2, sent), ring::Put::done);
    std::vector<uint32_t> got;
    while (got.size() < 4 && ring::pop_wait(b.view(), cursor, 1, 7, ring::now_ns() + 100000000,
                                            ref) == ring::Wait::got)
        got.push_back(ref);
    EXPECT_EQ(got, (std::vector<uint32_t>{100, 101, 7, 8}));

    // A hole between two records.
    ASSERT_EQ(ring::push(b.view(), 1), ring::Put::done);
    const uint64_t hole = std::atomic_ref<uint64_t>(b.header.tail).fetch_add(1);
    b.slots[hole % 16] = uint64_t(ring::kNoRef) << 32 | uint32_t(hole + 1);
    ASSERT_EQ(ring::push(b.view(), 2), ring::Put::done);
    std::vector<uint32_t> listed;
    ring::for_each_record(b.view(), [&](uint32_t r) { listed.push_back(r); });
    EXPECT_EQ(listed, (std::vector<uint32_t>{1, 2}));
    got.clear();
    while (ring::try_pop(b.view(), cursor, 1, ref) == ring::Take::got) got.push_back(ref);
    EXPECT_EQ(got, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(ring::depth(b.view()), 0u);
}

// A sender stopped between its reservation of pos and its commit while 2^32 positions pass
// commits into the slot free for pos + 2^32, which nobody reserved: the record is delivered
// once, and the senders after it neither spin nor stall (in a child with a time limit).
TEST(RingThreads, ACommitLate2To32PositionsNeitherStallsNorSpins) {
    EXPECT_EXIT(
        {
            alarm(10);
            const uint64_t pos = 5000;
            Block b(16, pos + (uint64_t(1) << 32));
            uint64_t free_word = pos; // the word the stopped sender expects: free for pos
            std::atomic_ref<uint64_t>(b.slots[pos % 16])
                .compare_exchange_strong(free_word, uint64_t(42) << 32 | uint32_t(pos + 1));
            ring::Cursor cursor;
            uint32_t ref = 0;
            bool ok = ring::try_pop(b.view(), cursor, 1, ref) == ring::Take::got && ref == 42;
            for (uint32_t i = 0; ok && i < 40; ++i)
                ok = ring::push(b.view(), i) == ring::Put::done &&
                     ring::try_pop(b.view(), cursor, 1, ref) == ring::Take::got && ref == i;
            // A receiver stopped as long between its claim and its free frees a record not yet
            // taken: receivers pass over that position to the next record.
            ok = ok && ring::push(b.view(), 50) == ring::Put::done &&
                 ring::push(b.view(), 51) == ring::Put::done;
            b.slots[b.header.head % 16] = uint32_t(b.header.head + 16);
            ok = ok && ring::try_pop(b.view(), cursor, 1, ref) == ring::Take::got && ref == 51;
            _exit(ok && ring::depth(b.view()) == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A receiver stopped between claiming a stalled position and marking its slot skipped leaves
// the slot showing the previous lap's reservation after head has passed it: that is neither
// damage nor a full ring, and whoever comes next finishes the skip.
TEST(RingThreads, ASkipLeftHalfDoneIsFinishedByTheNextComer) {
    for (const bool sender_first : {false, true}) {
        Block b(16);
        ring::Cursor cursor;
        uint32_t ref = 0;
        for (uint32_t i = 0; i < 20; ++i) {
            ASSERT_TRUE(ring::push(b.view(), i) == ring::Put::done &&
                        ring::try_pop(b.view(), cursor, 1, ref) == ring::Take::got);
        }
        const uint64_t pos = b.header.head;
        b.slots[pos % 16] = uint32_t(pos - 16);
        if (!sender_first) {
            EXPECT_EQ(ring::try_pop(b.view(), cursor, 1, ref), ring::Take::empty);
        }
        EXPECT_EQ(ring::push(b.view(), 99), ring::Put::done);
        EXPECT_TRUE(ring::try_pop(b.view(), cursor, 1, ref) == ring::Take::got && ref == 99);
    }
}

// Head, tail or a slot rewritten to values no run leaves: the receiver says damaged (after the
// one record still in place) instead of waiting for ever, and a sender that meets the damage
// says so instead of spinning or finding the ring full for good.
TEST(RingThreads, RewrittenWordsAreReportedDamaged) {
    struct Row {
        void (*damage)(Block &);
        bool record_first;
        ring::Put put;
    };
    const Row rows[] = {
        {[](Block &b) { b.header.head += 1000; }, false, ring::Put::done},
        {[](Block &b) { b.header.head -= 1000; }, false, ring::Put::done},
        {[](Block &b) { b.header.tail += 1000; }, true, ring::Put::damaged},
        {[](Block &b) { b.slots[b.header.tail % 16] = 77; }, true, ring::Put::damaged},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(&row - rows);
        Block b(16);
        ring::Cursor cursor;
        uint32_t ref = 0;
        uint64_t wait_ns = 0;
        ASSERT_EQ(ring::push(b.view(), 1), ring::Put::done);
        row.damage(b);
        if (row.record_first) ring::try_pop(b.view(), cursor, 1, ref); // the record in place
        EXPECT_EQ(ring::try_pop(b.view(), cursor, 1, ref, &wait_ns), ring::Take::damaged);
        EXPECT_EQ(ring::pop_wait(b.view(), cursor, 1, 7, ring::kForever, ref), ring::Wait::damaged);
        EXPECT_EQ(ring::push(b.view(), 2), row.put);
    }
}

// A receiver that sleeps for every record: each wake-up must come, for the safety net that
// would cover a lost one is an hour here, and without the look before a sleep. The sender puts
// the next record in a varying few hundred nanoseconds after the receiver took the last, while
// the receiver heads for its next sleep: so the records fall all over that path.
TEST(RingThreads, NoWakeUpIsLostBetweenTheLastLookAndTheSleep) {
    constexpr int kRounds = 200000;
    Block b(16);
    b.safety_ns = uint64_t(3600) * 1000000000;
    b.settle_ns = 0;
    std::atomic<int> taken{0};
    std::thread receiver([&] {
        ring::Cursor cursor;
        uint32_t ref;
        for (int i = 0; i < kRounds; ++i)
            if (ring::pop_wait(b.view(), cursor, 1, 7, ring::kForever, ref) == ring::Wait::got)
                taken.fetch_add(1);
    });
    int lost_at = -1;
    for (int i = 0; i < kRounds && lost_at < 0; ++i) {
        for (int k = i % 8; k > 0; --k) (void)taken.load();
        ASSERT_EQ(ring::push(b.view(), uint32_t(i)), ring::Put::done);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (taken.load() <= i && lost_at < 0)
            if (std::chrono::steady_clock::now() > limit) lost_at = i;
    }
    std::atomic_ref<uint32_t>(b.header.queue_id).store(ring::kNoQueue); // ends the receiver
    ring::wake_all(b.view());
    receiver.join();
    EXPECT_EQ(lost_at, -1) << "a record waited without a wake-up";
}

// A sleeping receiver wakes for a record and for the removal of its queue. (A signal during
// the wait: the transport tests, over processes.)
TEST(RingThreads, SleepingReceiverWakesForARecordAndForRemoval) {
    Block b(16);
    std::atomic<int> result{-1};
    uint32_t ref = 0;
    auto wait_asleep = [&] {
        std::thread t([&] {
            ring::Cursor cursor;
            result = int(ring::pop_wait(b.view(), cursor, 1, 7, ring::kForever, ref));
        });
        while (std::atomic_ref<int32_t>(b.header.sleepers[0]).load() == 0)
            std::this_thread::yield();
        return t;
    };
    std::thread t = wait_asleep();
    ASSERT_EQ(ring::push(b.view(), 5), ring::Put::done);
    t.join();
    EXPECT_EQ(result, int(ring::Wait::got));
    EXPECT_EQ(ref, 5u);

    t = wait_asleep();
    std::atomic_ref<uint32_t>(b.header.queue_id).store(ring::kNoQueue);
    ring::wake_all(b.view());
    t.join();
    EXPECT_EQ(result, int(ring::Wait::removed));
    EXPECT_EQ(b.header.sleepers[0], 0);
}

} // namespace
