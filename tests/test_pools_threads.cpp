// The lock-free free list driven by many threads, with the integrity check as the oracle.
#include "check.h"
#include "env/lfpool.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using pxr_impl::lf::Outcome;

// One partition laid out as creation lays it out, in heap memory.
struct Block {
    PartitionHeader header{};
    std::vector<uint8_t> bytes;
    pxr_impl::lf::List list{};

    explicit Block(uint32_t n) : bytes(std::size_t(n) * (8 + PXR_SLOT_OVERHEAD)) {
        header.num_msgs = int32_t(n);
        header.param_size = 8;
        header.stride = 8 + PXR_SLOT_OVERHEAD;
        list = {&header, bytes.data(), header.stride, n};
        const uint32_t guard = PXR_REAR_GUARD;
        for (uint32_t i = 0; i < n; ++i) {
            *list.slot(i) = SysMsg{
                i, 0, 0, 0, 0, 0, 0, i + 1 == n ? PXR_NO_INDEX : i + 1, 0, 0, PXR_FRONT_GUARD};
            std::memcpy(bytes.data() + std::size_t(i + 1) * header.stride - 4, &guard, 4);
        }
        pxr_impl::lf::set_fresh_ends(list);
    }
    std::string problems() {
        std::string all;
        for (auto &p :
             pxrtool::check_partition(0, &header, bytes.data(), bytes.size(), true).problems)
            all += p + "; ";
        return all;
    }
};

// Threads take up to eight buffers each and put them back, one at a time or as one batch, on
// lists from the smallest (one buffer to hand out) to the largest; a take may find only the
// buffer that always stays.
class LockFreeListSizes : public ::testing::TestWithParam<uint32_t> {};

TEST_P(LockFreeListSizes, ThreadsNeverShareNorLoseABuffer) {
    constexpr uint32_t kThreads = 4, kHold = 8;
    Block block(GetParam());
    std::vector<std::atomic<uint32_t>> owner(GetParam());
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> failed{0}, shared{0}, takes{0};

    auto worker = [&](uint32_t id) {
        uint32_t seed = id * 2654435761u + 1;
        SysMsg *held[kHold];
        while (!stop.load(std::memory_order_relaxed)) {
            seed = seed * 1103515245u + 12345u;
            const uint32_t want = 1 + (seed >> 16) % kHold;
            const bool batch = (seed >> 28) & 1;
            uint32_t n = 0;
            pxr_impl::lf::Taken t;
            if (batch) n = pxr_impl::lf::take_many(block.list, held, want, t);
            for (; !batch && n < want; ++n) {
                t = pxr_impl::lf::take(block.list);
                if (t.outcome != Outcome::done) break;
                held[n] = t.slot;
            }
            if (t.outcome == Outcome::damaged) return void((++failed, stop = true));
            for (uint32_t k = 0; k < n; ++k) {
                uint32_t none = 0;
                if (!owner[held[k]->index].compare_exchange_strong(none, id + 1)) ++shared;
                ++takes;
            }
            for (uint32_t k = 0; k < n; ++k) owner[held[k]->index].store(0);
            pxr_impl::lf::Damage d;
            for (uint32_t k = 0; k < n && !batch; ++k)
                if (pxr_impl::lf::put(block.list, held[k], d) != Outcome::done) ++failed;
            if (batch && n > 0 && pxr_impl::lf::put_many(block.list, held, n, d) != Outcome::done)
                ++failed;
        }
    };
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < kThreads; ++i) threads.emplace_back(worker, i);
    for (int i = 0; i < 30 && !stop; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    for (std::thread &t : threads) t.join();

    EXPECT_EQ(failed.load(), 0u) << "a take or put failed on a sound list";
    EXPECT_EQ(shared.load(), 0u) << "a buffer was handed to two threads";
    EXPECT_GT(takes.load(), 0u);
    EXPECT_EQ(block.problems(), "");
}

INSTANTIATE_TEST_SUITE_P(Sizes, LockFreeListSizes, ::testing::Values(2u, 3u, 1000u, 65000u));

// A buffer taken 70,000 times wraps its 16-bit tag: the list stays sound and the words read
// again as the check expects.
TEST(LockFreeList, TagWrapsAroundWithoutDamage) {
    Block block(2);
    for (uint32_t i = 0; i < 70000; ++i) {
        const pxr_impl::lf::Taken t = pxr_impl::lf::take(block.list);
        ASSERT_EQ(t.outcome, Outcome::done) << i;
        pxr_impl::lf::Damage d;
        ASSERT_EQ(pxr_impl::lf::put(block.list, t.slot, d), Outcome::done) << i;
    }
    EXPECT_GT(block.list.slot(0)->getmem_count + block.list.slot(1)->getmem_count, 65536u);
    EXPECT_EQ(block.problems(), "");
}

// Repair relinks a buffer that a killed put left on neither the list nor allocated, and
// refuses to touch a list with a cycle.
TEST(LockFreeList, RepairRelinksALostBufferAndLeavesACycleAlone) {
    Block block(4);
    const pxr_impl::lf::Taken t = pxr_impl::lf::take(block.list);
    ASSERT_EQ(t.outcome, Outcome::done);
    t.slot->allocated = 0; // the put was killed before it linked the buffer
    EXPECT_EQ(pxr_impl::lf::repair(block.list).relinked, 1u);
    EXPECT_EQ(block.problems(), "");

    Block looped(4);
    looped.list.slot(3)->next = 2;
    const pxr_impl::lf::Repair r = pxr_impl::lf::repair(looped.list);
    EXPECT_TRUE(r.damaged);
    EXPECT_EQ(r.relinked, 0u);
}

// Damage and races set up by hand on a list of 6 whose slot 0 is taken; each row names what a
// take (or a put of slot 0) must do and a problem the check must report.
struct Row {
    const char *name;
    std::function<void(Block &)> damage;
    bool put;
    Outcome outcome;
    const char *word;  // reported damaged word, or null
    const char *check; // problem text, or "" for consistent
};

const Row kRows[] = {
    {"intact", [](Block &) {}, true, Outcome::done, nullptr, ""},
    {"head and its next from two states", [](Block &b) { b.list.slot(1)->next = PXR_NO_INDEX; },
     false, Outcome::inconsistent, nullptr, "neither the end"},
    {"head beyond", [](Block &b) { b.header.free_head = 40; }, false, Outcome::damaged, "free_head",
     "beyond"},
    {"next beyond", [](Block &b) { b.list.slot(1)->next = 40; }, false, Outcome::damaged, "next",
     "beyond"},
    {"tail beyond", [](Block &b) { b.header.free_tail = 40; }, true, Outcome::damaged, "free_tail",
     "free_tail names slot 40"},
    {"a loop behind the tail", [](Block &b) { b.list.slot(5)->next = 5; }, true, Outcome::damaged,
     "free_tail", "cycle"},
    {"stale head tag", [](Block &b) { b.header.free_head |= 0x00070000u; }, false, Outcome::done,
     nullptr, "free_head 0x00070001 carries a stale tag"},
    {"stale tail tag", [](Block &b) { b.header.free_tail |= 0x00070000u; }, true, Outcome::done,
     nullptr, "free_tail 0x00070004 carries a stale tag"},
};

TEST(LockFreeList, DamageIsReportedNeverFollowed) {
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        Block block(6);
        const pxr_impl::lf::Taken first = pxr_impl::lf::take(block.list);
        ASSERT_EQ(first.outcome, Outcome::done);
        block.header.alloc_count = block.header.max_alloc = 1;
        row.damage(block);
        const std::string found = block.problems();
        EXPECT_TRUE(*row.check ? found.find(row.check) != std::string::npos : found.empty())
            << found;

        pxr_impl::lf::Taken t{first.slot, Outcome::done, {}};
        row.put ? void(t.outcome = pxr_impl::lf::put(block.list, first.slot, t.damage))
                : void(t = pxr_impl::lf::take(block.list));
        EXPECT_EQ(t.outcome, row.outcome);
        EXPECT_STREQ(t.damage.word, row.word);
        // A put that fails leaves the buffer with its owner.
        EXPECT_EQ(first.slot->allocated, row.put && row.outcome == Outcome::done ? 0u : 1u);
    }
}

} // namespace
