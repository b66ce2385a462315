// Processes killed with SIGKILL while holding a lock, in the middle of allocation and release,
// and the loader itself: the environment goes on (or can be removed and started again) and the
// check accounts for every buffer. A killed holder's buffers: test_check and the reclaim cases.
#include "ipc_test.h"

#include "check.h"
#include "pxr.hpp"
#include "env/pxr_internal.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <vector>
#include <unistd.h>

namespace {

class CrashTest : public pxrtest::IpcTest {};

void kill_and_reap(pid_t pid) {
    kill(pid, SIGKILL);
    EXPECT_EQ(pxrtest::wait_child(pid), 128 + SIGKILL);
}

// Churning processes are killed at random moments; every following allocation succeeds. The
// victims' buffers stay allocated to them; a kill while the free list changes may leave one
// buffer outside the list, which the check reports.
TEST_F(CrashTest, KillsInTheMiddleOfAllocationAndRelease) {
    for (uint32_t flags : {0u, uint32_t(PXR_INIT_ATOMIC)}) {
        pxrtest::remove_environment_objects();
        pxrtest::EnvSpec layout;
        layout.init_flags = flags;
        layout.buffers0 = 64;
        ASSERT_TRUE(pxrtest::create_running_environment(layout));
        for (int round = 0; round < 10; ++round) {
            pxrtest::Ready ready;
            pid_t churner = pxrtest::start_child([&] {
                PXR_unlink();
                if (getm(1, 0, 0, 8) == nullptr) return 1; // attach, and hold one for good
                ready.signal();
                for (;;)
                    if (MSG *m = getm(1, 0, 0, 8)) relm(m);
            });
            ASSERT_TRUE(ready.wait());
            usleep(2000 + 1500 * round);
            kill_and_reap(churner);
            ASSERT_EQ(pxrtest::run_child([] { // a fresh process gets a buffer in time
                          PXR_unlink();
                          alarm(5);
                          MSG *m = getm(1, 0, 0, 8);
                          return m != nullptr && relm(m) == 0 ? 0 : 1;
                      }),
                      0)
                << "round " << round;
        }
        pxrtool::EnvironmentCheck env;
        pxrtool::check_environment(env);
        const pxrtool::PartitionCheck &p = env.partitions[0];
        EXPECT_LE(p.in_neither + p.in_both, 10u); // at most one per kill
        for (const pxrtool::PidCount &c : p.allocators) EXPECT_FALSE(c.alive);
        EXPECT_GE(p.allocated, 10u); // the buffer each victim held for good
        PXR_unlink();
    }
}

// Receivers killed after they stamped a buffer received and before they emptied their
// landing: a landing whose record is spent is taken over by the next receiver, and the
// reclaim that returns the buffers by their stamps empties the landings that still name them.
TEST_F(CrashTest, LandingsOfReceiversKilledAfterTheirStampAreEmptiedAndReused) {
    for (uint32_t ring : {0u, 16u}) {
        pxrtest::remove_environment_objects();
        ASSERT_TRUE(pxrtest::create_running_environment({.buffers0 = 8, .ring_capacity = ring}));
        ASSERT_EQ(IPC_create(5, 1), 0);
        auto die_after_stamp = [] { // its landing as it stood before it was emptied
            PXR_unlink();
            MSG *m = PXR_receive(5);
            ReceiveLanding *l = pxr_impl::my_landing();
            if (m == nullptr || l == nullptr) return 99;
            const SysMsg *s = pxr_impl::slot_of(m);
            if (PXR_ring_capacity() > 0)
                l->ring_ref = pxr_impl::buffer_ref(s->index, uint32_t(s->partition));
            else
                l->index = uint16_t(s->index), l->partition = uint16_t(s->partition), l->mtype = 1;
            return int(l - pxr_impl::attachment.extension->landings);
        };
        int landing[2];
        for (int &n : landing) {
            ASSERT_EQ(PXR_send(5, getm(1, 0, 0, 8)), 0);
            n = pxrtest::run_child(die_after_stamp);
        }
        EXPECT_LT(landing[0], 99);
        EXPECT_EQ(landing[0], landing[1]);
        PXR_reclaim_stats st{};
        ASSERT_EQ(PXR_reclaim_buffers(0, 0, &st, nullptr, 0), 0);
        EXPECT_EQ(st.returned, 2u);
        pxr_impl::LandedRecord left[2];
        EXPECT_EQ(pxr_impl::read_landings(left, 2), 0);
        PXR_unlink();
    }
}

// An allocator stopped right after the locked take, before the front end's stamps, already
// owns its buffer: a reclaim does not finish the release of its ended previous holder.
TEST_F(CrashTest, ABufferTakenUnderTheLockIsItsTakersAtOnce) {
    ASSERT_TRUE(pxrtest::create_running_environment({.buffers0 = 1}));
    ASSERT_EQ(pxrtest::run_child([] { return PXR_unlink(), int(relm(getm(1, 0, 0, 8))); }), 0);
    uint32_t size = 8, onset = 0;
    SysMsg *b = semaphore_getmem(&size, &onset);
    ASSERT_NE(b, nullptr);
    PXR_reclaim_stats st{};
    ASSERT_EQ(PXR_reclaim_buffers(0, 0, &st, nullptr, 0), 0);
    EXPECT_EQ(std::tuple(st.returned, b->allocated, partition_hdr[0]->alloc_count),
              std::tuple(0u, 1u, 1u));
}

// Senders into a ring queue killed at random moments: each sender's messages arrive once, in
// order and without a gap; a killed sender loses at most the message it was sending, and the
// queue goes on (a position reserved and never filled is skipped).
TEST_F(CrashTest, RingSendersKilledAtRandomLoseAtMostTheirLastMessage) {
    constexpr uint32_t kModule = 5;
    constexpr int kSenders = 40;
    ASSERT_TRUE(
        pxrtest::create_running_environment({.buffers0 = 1024, .size0 = 8, .ring_capacity = 16}));
    ASSERT_EQ(IPC_create(kModule, 1), 0);
    auto *handed =
        static_cast<uint32_t *>(mmap(nullptr, sizeof(uint32_t) * kSenders, PROT_READ | PROT_WRITE,
                                     MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(handed, MAP_FAILED); // messages each sender began to send
    std::vector<uint32_t> received(kSenders, 0);
    int disorder = 0;
    auto receive_for = [&](int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end)
            if (MSG *m = PXR_timed_receive(kModule, 1)) {
                if (m->instance != received[m->type]++) ++disorder;
                relm(m);
            }
    };
    for (uint16_t k = 0; k < kSenders; ++k) {
        pid_t sender = pxrtest::start_child([k, handed] {
            for (uint32_t n = 0;; ++n) {
                MSG *m;
                while ((m = getm(k, 0, 0, 4)) == nullptr) usleep(100);
                m->instance = n;
                std::atomic_ref<uint32_t>(handed[k]).store(n + 1);
                while (PXR_send(kModule, m) != 0) usleep(50);
            }
            return 0;
        });
        receive_for(1 + k % 5);
        kill_and_reap(sender);
    }
    receive_for(100);
    EXPECT_EQ(disorder, 0);
    for (int k = 0; k < kSenders; ++k) {
        EXPECT_LE(received[k], handed[k]) << k;
        EXPECT_GE(received[k] + 1, handed[k]) << k;
    }
    munmap(handed, sizeof(uint32_t) * kSenders);
}

// Per-thread buffer caches: threads churning through theirs never share a buffer and give it
// back when they end; a cached buffer is counted, and cannot be released or sent again; a
// forked copy allocates none of its parent's cached buffers, and a process that dies with a
// full cache has it reclaimed, while one that exits gives it back itself.
TEST_F(CrashTest, BufferCachesComeBackFromEndedThreadsAndDeadProcesses) {
    pxrtest::EnvSpec layout;
    layout.init_flags = PXR_INIT_ATOMIC;
    layout.buffers0 = 512;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    ASSERT_EQ(IPC_create(1, 1), 0);
    EXPECT_FALSE(pxr::set_buffer_cache(65));
    ASSERT_TRUE(pxr::set_buffer_cache(16));
    EXPECT_EQ(pxr::buffer_cache(), 16u);
    const PartitionHeader *h = partition_hdr[0];
    std::vector<std::atomic<int>> owner(512);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= 4; ++t)
        threads.emplace_back([&, t] {
            MSG *held[24];
            for (int round = 0; round < 3000; ++round) {
                const int n = 1 + (round * 7 + t) % 24;
                for (int k = 0; k < n; ++k) {
                    int none = 0;
                    if ((held[k] = getm(1, 0, 0, 8)) == nullptr ||
                        !owner[pxr_impl::slot_of(held[k])->index].compare_exchange_strong(none, t))
                        return void(++wrong);
                }
                for (int k = 0; k < n; ++k) {
                    owner[pxr_impl::slot_of(held[k])->index] = 0;
                    if (relm(held[k]) != 0) ++wrong;
                }
            }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(h->alloc_count, 0u);

    MSG *m = getm(1, 0, 0, 8);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(relm(m), 0u);
    EXPECT_EQ(h->alloc_count, 9u); // the half cache taken with m, m back in it
    EXPECT_EQ((std::tuple{PXR_relmem(0, m), PXR_send(1, m)}), (std::tuple{1u, -1}));
    const uint32_t ours = h->alloc_count;
    pid_t child = pxrtest::start_child([m] {
        MSG *c = getm(1, 0, 0, 8);
        return c != nullptr && c != m && relm(c) == 0 ? 0 : 1; // and dies with its cache
    });
    EXPECT_EQ(pxrtest::wait_child(child), 0);
    EXPECT_EQ(h->alloc_count, ours + 9);
    PXR_reclaim_stats st{};
    ASSERT_EQ(PXR_reclaim_buffers(child, 0, &st, nullptr, 0), 0);
    EXPECT_EQ((std::tuple{st.returned, h->alloc_count}), (std::tuple{9u, ours}));
    EXPECT_EQ(pxrtest::run_child([] {
                  MSG *c = getm(1, 0, 0, 8);
                  if (c == nullptr || relm(c) != 0) return 1;
                  exit(0);
              }),
              0);
    EXPECT_EQ(h->alloc_count, ours);
    EXPECT_EQ(getm(1, 0, 0, 8), m); // last released first
    relm(m);
    pxrtool::EnvironmentCheck env;
    EXPECT_EQ(pxrtool::check_environment(env), pxrtool::kCheckConsistent);
    EXPECT_EQ(env.partitions[0].allocated, ours);
    PXR_unlink(); // this thread's cache goes back before the detach
    ASSERT_EQ(PXR_link(), 0);
    EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
    PXR_set_buffer_cache(0);
}

} // namespace
