// Send and receive across real processes: pid stamps, answers and failures.
#include "ipc_test.h"
#include "pxr.hpp"

#include "env/futex.h"
#include "env/pxr_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <sys/sem.h>
#include <thread>
#include <tuple>
#include <vector>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr uint32_t kServer = 5;
constexpr uint32_t kClient = 6;

// Every case runs over kernel queues and over ring queues (of 16 records).
class Transport : public pxrtest::IpcTest, public ::testing::WithParamInterface<uint32_t> {
  protected:
    void make_env(uint32_t init_flags = 0, int32_t buffers = 8) {
        ASSERT_TRUE(pxrtest::create_running_environment({.init_flags = init_flags,
                                                         .buffers0 = buffers,
                                                         .size0 = 64,
                                                         .buffers1 = 2,
                                                         .ring_capacity = GetParam()}));
        ASSERT_EQ(IPC_create(kServer, 1) + IPC_create(kClient, 1), 0);
    }
};
INSTANTIATE_TEST_SUITE_P(KernelAndRing, Transport, ::testing::Values(0u, 16u));

// Sends a message, waiting while no buffer is free or the queue is full.
void send_waiting(uint32_t module, uint16_t type, uint16_t id) {
    MSG *m;
    while ((m = getm(type, id, 0, 0)) == nullptr) usleep(100);
    while (PXR_send(module, m) != 0) usleep(100);
}

TEST_P(Transport, RequestAndAnswerTravelInTheSameSlotWithBothPidStamps) {
    make_env();
    MSG *req = getm(0x6111, 42, uint16_t(1u << (kClient & 15)), 5);
    ASSERT_NE(req, nullptr);
    req->src = kClient, req->dst = kServer;
    memcpy(req->param, "hello", 5);
    const pid_t parent = getpid();

    pid_t server = pxrtest::start_child([parent] {
        PXR_unlink();
        MSG *m = PXR_receive(kServer);
        if (m == nullptr) return 1;
        if (pxr_impl::slot_of(m)->send_pid != parent ||
            pxr_impl::slot_of(m)->receive_pid != getpid())
            return 2;
        if (m->type != 0x6111 || m->id != 42 || memcmp(m->param, "hello", 5) != 0) return 3;
        if (PXR_lastpid(kServer) != getpid() || PXR_ring_capacity() != int32_t(GetParam()))
            return 4;
        m->param[0] = 'j';
        return confirm_msg(m) == 0 ? 0 : 5;
    });
    ASSERT_EQ(PXR_send(kServer, req), 0);
    EXPECT_EQ(pxrtest::wait_child(server), 0);

    MSG *answer = PXR_grab(kClient);
    ASSERT_EQ(answer, req); // the very same buffer came back
    SysMsg *s = pxr_impl::slot_of(answer);
    EXPECT_EQ(std::tuple(answer->type, answer->reply_mask, answer->src, answer->dst,
                         answer->param[0], s->receive_pid, s->send_pid),
              std::tuple(0x2111, 0, uint8_t(kServer), uint8_t(kClient), 'j', getpid(), server));
    EXPECT_EQ(relm(answer), 0);
    EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
}

// The record carries the partition: the receiver maps and releases partition 1's slot.
TEST_P(Transport, BufferOfPartitionOneArrivesAsItself) {
    make_env();
    MSG *big = getm(0x100, 1, 0, 200);
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(pxr_impl::slot_of(big)->partition, 1);
    memcpy(big->param, "far", 4);
    ASSERT_EQ(PXR_send(kServer, big), 0);
    EXPECT_EQ(pxrtest::run_child([] {
                  PXR_unlink();
                  MSG *m = PXR_receive(kServer);
                  if (m == nullptr || pxr_impl::slot_of(m)->partition != 1) return 1;
                  return memcmp(m->param, "far", 4) == 0 && relm(m) == 0 ? 0 : 2;
              }),
              0);
    EXPECT_EQ(partition_hdr[1]->alloc_count + partition_hdr[0]->alloc_count, 0u);
    EXPECT_EQ(pxr_impl::slot_at(0, 0)->receive_pid, 0);
}

// Four threads of a freshly attached process, released together into their first sends: every
// send arrives and no timed receive expires while a record waits (40 fresh processes).
TEST_P(Transport, ThreadsRacingOnTheirFirstCallAllFindTheQueue) {
    make_env(0, 16);
    for (int run = 0; run < 40; ++run)
        ASSERT_EQ(pxrtest::run_child([] {
                      alarm(60);
                      // Attached anew elsewhere, as a process that never mapped the area is.
                      void *was = common_ptr;
                      PXR_unlink();
                      mmap(was, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                           -1, 0);
                      if (PXR_link() != 0 || common_ptr == was) return 1;
                      std::atomic<int> ready{0};
                      std::atomic<int> failures{0};
                      std::vector<std::thread> threads;
                      for (int t = 0; t < 4; ++t)
                          threads.emplace_back([&] {
                              MSG *m = getm(1, 0, 0, 0);
                              ready.fetch_add(1);
                              while (ready.load() < 4) {
                              }
                              for (int i = 0; i < 20; ++i) {
                                  MSG *r = m != nullptr && PXR_send(kServer, m) == 0
                                               ? PXR_timed_receive(kServer, 5000)
                                               : nullptr;
                                  if (r == nullptr) failures.fetch_add(1);
                                  m = r;
                              }
                              relm(m);
                          });
                      for (std::thread &t : threads) t.join();
                      return failures.load() == 0 && PXR_pending_msgs(kServer) == 0 ? 0 : 2;
                  }),
                  0)
            << run;
}

TEST_P(Transport, EmptyQueuesAliasesAndForbiddenTrafficYieldNothing) {
    make_env();
    EXPECT_EQ(PXR_grab(kServer), nullptr);
    EXPECT_EQ(PXR_grab(0x100 | kServer), nullptr); // low 8 bits

    // An alias receives nothing, even when asked to wait; what is sent to it reaches the owner.
    ASSERT_EQ(IPC_attach(7, kServer), 0);
    EXPECT_EQ(PXR_receive(7), nullptr);
    MSG *m = getm(2, 0, 0, 0);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(PXR_send(7, m), 0);
    EXPECT_EQ(PXR_pending_msgs(kServer), 1);
    EXPECT_EQ(PXR_pending_msgs(7), -2);
    EXPECT_EQ(PXR_grab(kServer), m);
    EXPECT_EQ(PXR_receive(255), nullptr); // 255 has no table entry

    // Traffic forbidden: the send refuses without stamping, receive yields nothing.
    pxr_impl::slot_of(m)->send_pid = 777;
    ASSERT_EQ(PXR_send(kServer, m), 0);
    pxr_impl::shared(common_ptr->flags).fetch_or(CA_NO_TRAFFIC);
    EXPECT_EQ(PXR_send(kServer, m), 1);
    EXPECT_EQ(PXR_grab(kServer), nullptr);
    uint32_t size = 1;
    EXPECT_EQ(PXR_relmem(0, m), 1);
    EXPECT_EQ(PXR_getmem(0, &size), nullptr);
    pxr_impl::shared(common_ptr->flags).fetch_and(~CA_NO_TRAFFIC);
    EXPECT_EQ(PXR_grab(kServer), m);
    EXPECT_EQ(pxr_impl::slot_of(m)->send_pid, getpid());

    // Deleting the alias removes the queue it names, the owner's: a receiver waiting there ends
    // (null, failure flag), a send to the owner fails and its queries say -4.
    const pid_t waiter = pxrtest::start_child([] {
        PXR_unlink(), alarm(20);
        return PXR_receive(kServer) == nullptr && PXR_sys_failure == 1 ? 0 : 1;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(IPC_delete(7), 0);
    EXPECT_EQ(pxrtest::wait_child(waiter), 0);
    EXPECT_EQ(std::tuple(PXR_send(kServer, m), PXR_pending_msgs(kServer), PXR_lastpid(kServer)),
              std::tuple(-1, -4, -4));
    EXPECT_EQ(common_ptr->internal_errors, 1u);
}

TEST_P(Transport, UndefinedDestinationSleepsAndNamesTheFullId) {
    make_env(PXR_INIT_ERROR_PRINT);
    memset(common_ptr->platform, 0, 12); // the bytes behind the table are no entry of 255
    MSG *m = getm(2, 0, 0, 0);
    ASSERT_NE(m, nullptr);
    int rc = 0;
    const auto t0 = std::chrono::steady_clock::now();
    std::string err = pxrtest::capture_stderr([&] { rc = PXR_send(0x123, m); });
    EXPECT_EQ(rc, PXR_BAD);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
    EXPECT_EQ(err, "(" + std::to_string(getpid()) + ")PXR_send() : Process : 0x123 undefined\n");
    EXPECT_EQ(pxr_impl::slot_of(m)->send_pid, 0); // not sent
    EXPECT_EQ(common_ptr->internal_errors, 0u);

    // With no environment at all a timed receive ends within its limit, without that pause.
    EXPECT_EQ(pxrtest::run_child([] {
                  PXR_unlink();
                  pxrtest::remove_environment_objects();
                  const auto t1 = std::chrono::steady_clock::now();
                  const bool none = PXR_timed_receive(kServer, 20) == nullptr && errno == ENOENT;
                  return none && std::chrono::steady_clock::now() - t1 < 1s ? 0 : 1;
              }),
              0);
}

TEST_P(Transport, FullQueueWithFatalActionEndsTheEnvironmentWithMinusOne) {
    make_env(PXR_INIT_FATAL_ACTION(1));
    MSG *m = getm(2, 0, 0, 0);
    ASSERT_NE(m, nullptr);
    pid_t loader = pxrtest::start_child([] { return PXR_wait_exit(); });
    for (int i = 0; i < 400 && semget(pxr_impl::kExitSemKey, 1, 0) < 0; ++i) usleep(5000);
    usleep(20000); // let the loader block
    int rc = 0;
    for (int i = 0; i < 100000 && (rc = PXR_send(kServer, m)) == 0; ++i) {
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(pxrtest::wait_child(loader), 0xFF); // PXR_wait_exit returned -1
    EXPECT_EQ(common_ptr, nullptr);
    EXPECT_EQ(semget(pxr_impl::kSystemLockKey, 1, 0), -1); // all gone
    EXPECT_EQ(shmget(PXR_KEY_RING_QUEUES, 0, 0), -1);
}

// Three sender processes into one module read by two receiver processes: every message
// arrives once, and each receiver sees each sender's messages in the order sent. A sender
// waits and tries again when no buffer is free or the queue is full.
TEST_P(Transport, SeveralSendersAndReceiversGetEachMessageOnceInOrder) {
    constexpr int kSenders = 3, kReceivers = 2, kEach = 3000;
    make_env(0, 64);
    auto *seen = static_cast<uint8_t(*)[kEach]>(
        mmap(nullptr, kSenders * kEach, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(seen, MAP_FAILED);
    auto send = [](uint16_t type, uint16_t id) { send_waiting(kServer, type, id); };
    std::vector<pid_t> receivers, senders;
    for (int r = 0; r < kReceivers; ++r)
        receivers.push_back(pxrtest::start_child([seen] {
            int last[kSenders] = {-1, -1, -1};
            for (MSG *m; (m = PXR_receive(kServer)) == nullptr || m->type != 99; relm(m)) {
                if (m == nullptr) return 1;
                if (int(m->id) <= last[m->type]) return 2;
                last[m->type] = m->id;
                ++seen[m->type][m->id];
            }
            return 0;
        }));
    for (uint16_t s = 0; s < kSenders; ++s)
        senders.push_back(pxrtest::start_child([&send, s] {
            for (uint16_t i = 0; i < kEach; ++i) send(s, i);
            return 0;
        }));
    for (pid_t pid : senders) EXPECT_EQ(pxrtest::wait_child(pid), 0);
    for (int r = 0; r < kReceivers; ++r) send(99, 0); // behind every message: stop
    for (pid_t pid : receivers) EXPECT_EQ(pxrtest::wait_child(pid), 0);
    for (int i = 0; i < kSenders * kEach; ++i) ASSERT_EQ(seen[i / kEach][i % kEach], 1) << i;
    munmap(seen, kSenders * kEach);
}

// Receive state never crosses a fork: a process that has received and slept forks two copies that
// receive from one queue while it receives from its own. Each message reaches its module's
// receiver once, stamped by it, and the queue's last receiver is a copy.
TEST_P(Transport, ForkedCopiesReceiveAsProcessesOfTheirOwn) {
    constexpr int kEach = 4000;
    make_env(0, 64);
    send_waiting(kServer, 1, 0);
    ASSERT_EQ(relm(PXR_grab(kServer)), 0);
    EXPECT_EQ(PXR_timed_receive(kServer, 2), nullptr); // and has slept
    auto *seen = static_cast<uint8_t(*)[kEach]>(
        mmap(nullptr, 2 * kEach, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(seen, MAP_FAILED);
    auto receive = [seen](uint32_t module) {
        for (MSG *m;; relm(m)) {
            if ((m = PXR_timed_receive(module, 10000)) == nullptr) return 1;
            if (m->type == 99) return relm(m);
            if (pxr_impl::slot_of(m)->receive_pid != getpid()) return 2;
            if (m->type != (module == kClient ? 1 : 0)) return 3; // another module's message
            ++seen[m->type][m->id];
        }
    };
    const pid_t copies[] = {pxrtest::start_child([&] { return receive(kServer); }),
                            pxrtest::start_child([&] { return receive(kServer); })};
    const pid_t sender = pxrtest::start_child([&] {
        for (uint16_t i = 0; i < kEach; ++i)
            send_waiting(kServer, 0, i), send_waiting(kClient, 1, i);
        for (uint32_t module : {kServer, kServer, kClient}) send_waiting(module, 99, 0);
        return 0;
    });
    EXPECT_EQ(receive(kClient), 0);
    EXPECT_EQ(pxrtest::wait_child(sender), 0);
    for (pid_t pid : copies) EXPECT_EQ(pxrtest::wait_child(pid), 0);
    const int32_t last = PXR_lastpid(kServer);
    EXPECT_TRUE(last == copies[0] || last == copies[1]) << last;
    for (int i = 0; i < 2 * kEach; ++i) ASSERT_EQ(seen[i / kEach][i % kEach], 1) << i;
    EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
    munmap(seen, 2 * kEach);
}

// Threads of one process send to two modules and receive from both at once, in both pool
// forms, with the spin window on: each message reaches one receiver once, and no landing
// keeps a record afterwards.
TEST_P(Transport, ThreadsOfOneProcessSendAndReceiveAtOnce) {
    constexpr int kSenders = 2, kEach = 3000;
    for (uint32_t form : {0u, uint32_t(PXR_INIT_ATOMIC)}) {
        make_env(form, 64);
        ASSERT_EQ(PXR_set_receive_spin(20), 0);
        std::vector<std::atomic<uint8_t>> seen(2 * kSenders * kEach);
        std::atomic<int> bad{0};
        auto receive = [&](uint32_t module) {
            for (MSG *m;; relm(m)) {
                if ((m = PXR_timed_receive(module, 10000)) == nullptr) return ++bad, void();
                if (m->type == 99) return relm(m), void();
                bad += pxr_impl::slot_of(m)->receive_pid != getpid() || m->id >= kEach;
                ++seen[(m->type * 2 + (module == kClient)) * kEach +
                       std::min<uint32_t>(m->id, kEach - 1)];
            }
        };
        std::vector<std::thread> threads, senders;
        for (uint32_t module : {kServer, kServer, kClient, kClient})
            threads.emplace_back(receive, module);
        for (uint16_t t = 0; t < kSenders; ++t)
            senders.emplace_back([t] {
                for (uint16_t i = 0; i < kEach; ++i)
                    send_waiting(kServer, t, i), send_waiting(kClient, t, i);
            });
        for (std::thread &t : senders) t.join();
        for (int i = 0; i < 2; ++i) send_waiting(kServer, 99, 0), send_waiting(kClient, 99, 0);
        for (std::thread &t : threads) t.join();
        EXPECT_EQ(bad.load(), 0);
        for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i].load(), 1) << i;
        EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
        pxr_impl::LandedRecord landed[4];
        EXPECT_EQ(pxr_impl::read_landings(landed, 4), 0);
        PXR_unlink();
        pxrtest::remove_environment_objects();
    }
}

volatile sig_atomic_t handled = 0;

// A handler that runs ends the wait, SA_RESTART or not, wherever the signal finds the
// receiver (the timed receive over kernel queues naps between its looks): timed and plain
// receives alternate, each ended by a signal at a random moment; a handler that ran without
// ending the receive shows as a second one by the time it ends. A timed receive on a queue
// removed meanwhile ends with EIDRM.
TEST_P(Transport, EverySignalHandledEndsTheWaitAndARemovedQueueSaysEIDRM) {
    constexpr int kRounds = 40;
    make_env();
    pxrtest::Ready ended;
    const pid_t child = pxrtest::start_child([&ended] {
        struct sigaction sa = {};
        sa.sa_handler = [](int) { handled = handled + 1; }, sa.sa_flags = SA_RESTART;
        sigaction(SIGUSR1, &sa, nullptr);
        ended.signal();
        for (int i = 0; i < kRounds; ++i) {
            // A quarter of the rounds sleep as a kernel without a masked futex sleep has them.
            pxr_impl::masked_sleep_refused_for_tests = i % 4 == 3;
            const int before = handled;
            MSG *m = i % 2 ? PXR_receive(kServer) : PXR_timed_receive(kServer, 5000);
            if (m != nullptr || (i % 2 == 0 && errno != EINTR) || PXR_sys_failure != 0)
                return 100 + i;
            if (handled - before != 1) return i + 1; // a handler ran and the wait went on
            ended.signal();
        }
        const bool removed = PXR_timed_receive(kServer, 5000) == nullptr && errno == EIDRM;
        return removed ? 0 : 99;
    });
    ASSERT_TRUE(ended.wait(10000));
    // One signal, and another only when the receive has not ended 2 s later (a loaded machine
    // may not run the child for a while).
    siginfo_t gone{}; // set when the child ended early
    for (int i = 0; i < kRounds && gone.si_pid == 0; ++i)
        for (int ms = 1 + i * 7 % 15; !ended.wait(ms); ms = 2000)
            if (waitid(P_PID, id_t(child), &gone, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                gone.si_pid != 0 || kill(child, SIGUSR1) != 0)
                break;
    usleep(20000);
    IPC_delete(kServer);
    EXPECT_EQ(pxrtest::wait_child(child), 0);
}

// The instant a sleep starts, when the receiver has looked at its queue for the last time: a
// signal then still ends the wait (a plain futex sleep would let it run unseen and sleep on).
TEST_P(Transport, ASignalAsTheSleepStartsEndsTheWait) {
    make_env();
    const pid_t child = pxrtest::start_child([] {
        struct sigaction sa = {};
        sa.sa_handler = [](int) { handled = handled + 1; }, sa.sa_flags = SA_RESTART;
        sigaction(SIGUSR1, &sa, nullptr);
        pxr_impl::before_sleep_for_tests = [] {
            if (handled == 0) pthread_kill(pthread_self(), SIGUSR1);
        };
        const MSG *m = PXR_timed_receive(kServer, 3000);
        return m == nullptr && errno == EINTR && handled == 1 ? 0 : 1;
    });
    EXPECT_EQ(pxrtest::wait_child(child), 0);
}

// Batches over kernel queues and rings (of 16 records), with locked and lock-free pools.
class Batch : public pxrtest::IpcTest,
              public ::testing::WithParamInterface<std::tuple<uint32_t, bool>> {
  protected:
    void make_env(int32_t buffers) {
        const auto [ring, atomic] = GetParam();
        ASSERT_TRUE(
            pxrtest::create_running_environment({.init_flags = atomic ? PXR_INIT_ATOMIC : 0u,
                                                 .buffers0 = buffers,
                                                 .size0 = 64,
                                                 .ring_capacity = ring}));
        ASSERT_EQ(IPC_create(kServer, 1), 0);
        // A kernel queue as short as the ring: 16 records.
        msqid_ds ds{};
        const int qid = int(common_ptr->module_queues[kServer].msqid);
        ASSERT_EQ(msgctl(qid, IPC_STAT, &ds), 0);
        ds.msg_qbytes = 16 * pxr_impl::kRecordText;
        ASSERT_EQ(msgctl(qid, IPC_SET, &ds), 0);
    }
};
INSTANTIATE_TEST_SUITE_P(QueueAndPoolForms, Batch,
                         ::testing::Combine(::testing::Values(0u, 16u), ::testing::Bool()));

// Two senders send numbered batches of 1 to 16, a receiver takes up to 16 at a time: each
// message arrives once, in each sender's order, stamped by both sides; every buffer comes back.
TEST_P(Batch, EveryRecordOnceInOrderWithBothStamps) {
    constexpr int kSenders = 2, kEach = 2000;
    make_env(64);
    std::vector<pid_t> senders;
    for (uint16_t s = 0; s < kSenders; ++s)
        senders.push_back(pxrtest::start_child([s] {
            PXR_unlink(); // attaches afresh: stamps its own pid
            MSG *msgs[16];
            for (uint16_t n = 0, batch = 1; n < kEach; batch = uint16_t(batch % 16 + 1)) {
                uint32_t size = 8;
                const uint32_t want = std::min<uint32_t>(batch, kEach - n);
                const uint32_t got = PXR_getmem_batch(0, &size, msgs, want);
                for (uint32_t i = 0; i < got; ++i) msgs[i]->type = s, msgs[i]->id = uint16_t(n + i);
                uint32_t sent = 0;
                int rc = 0;
                while (sent < got) {
                    sent += PXR_send_batch(kServer, msgs + sent, got - sent, &rc);
                    if (rc != 0 && rc != -1) return 1;
                }
                n = uint16_t(n + got);
                if (got < want) usleep(100); // no buffer free now
            }
            return 0;
        }));
    int last[kSenders] = {-1, -1}, wrong = 0, count = 0;
    MSG *msgs[16];
    while (count < kSenders * kEach) {
        const uint32_t got = PXR_timed_receive_batch(kServer, msgs, 16, 5000);
        ASSERT_NE(got, 0u);
        for (uint32_t i = 0; i < got; ++i) {
            const SysMsg *slot = pxr_impl::slot_of(msgs[i]);
            const int s = msgs[i]->type;
            wrong += s >= kSenders || msgs[i]->id != last[s] + 1 || slot->send_pid != senders[s] ||
                     slot->receive_pid != getpid();
            if (s < kSenders) last[s] = msgs[i]->id;
        }
        count += int(got);
        ASSERT_EQ(PXR_relmem_batch(0, msgs, got), got);
    }
    for (pid_t pid : senders) EXPECT_EQ(pxrtest::wait_child(pid), 0);
    EXPECT_EQ(std::tuple(wrong, PXR_timed_receive_batch(kServer, msgs, 16, 0), errno),
              std::tuple(0, 0u, ETIMEDOUT));
    EXPECT_EQ(partition_hdr[0]->alloc_count, 0u);
}

// A batch into a nearly full queue sends what fits and fails for the first that does not, as
// PXR_send would; the rest stay the caller's. A batch stops at a buffer that is not allocated.
// An allocation batch that runs out of buffers keeps what it had, leaking nothing.
TEST_P(Batch, PartialBatchesLeaveTheRestWithTheCaller) {
    make_env(24);
    MSG *msgs[24];
    uint32_t size = 8;
    ASSERT_EQ(PXR_getmem_batch(0, &size, msgs, 20), 20u);
    EXPECT_EQ(std::tuple(size, partition_hdr[0]->alloc_count), std::tuple(64u, 20u));
    int rc = 5;
    ASSERT_EQ(PXR_send_batch(kServer, msgs, 10, &rc), 10u);
    EXPECT_EQ(rc, 0);
    const uint32_t errors = common_ptr->internal_errors;
    EXPECT_EQ(PXR_send_batch(kServer, msgs + 10, 10, &rc), 6u);
    EXPECT_EQ(std::tuple(rc, common_ptr->internal_errors, PXR_pending_msgs(kServer)),
              std::tuple(-1, errors + 1, 16));
    MSG *got[16];
    ASSERT_EQ(PXR_receive_batch(kServer, got, 16), 16u);
    for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(got[i], msgs[i]) << i;
    ASSERT_EQ(PXR_relmem_batch(0, got, 16), 16u);

    // msgs[16..19] are still ours: a released buffer stops a batch after the records before it.
    MSG *mixed[3] = {msgs[16], msgs[0], msgs[17]};
    EXPECT_EQ(PXR_send_batch(kServer, mixed, 3, &rc), 1u);
    EXPECT_EQ(rc, -1);
    ASSERT_EQ(PXR_receive_batch(kServer, got, 16), 1u);
    EXPECT_EQ(got[0], msgs[16]);

    // 4 buffers held, 20 free (19 in the lock-free form, which keeps one): a batch of 24 gets
    // those and raises fatal event 2 for the next.
    MSG *more[24];
    const uint32_t free = std::get<1>(GetParam()) ? 19 : 20;
    EXPECT_EQ(PXR_getmem_batch(0, &size, more, 24), free);
    EXPECT_EQ(std::tuple(partition_hdr[0]->alloc_count, common_ptr->fatal_code),
              std::tuple(4 + free, 2u));
    EXPECT_EQ(PXR_relmem_batch(0, more, free), free);
    MSG *mine[5] = {msgs[16], msgs[17], msgs[0], msgs[18], msgs[19]};
    EXPECT_EQ(PXR_relmem_batch(0, mine, 5), 2u); // msgs[0] is not allocated
    EXPECT_EQ(PXR_relmem_batch(0, mine + 3, 2), 2u);
    EXPECT_EQ(std::tuple(partition_hdr[0]->alloc_count, PXR_send_batch(kServer, msgs, 0, &rc), rc),
              std::tuple(0u, 0u, 0));
}

// Senders killed while they send batches of 16 lose exactly the records they had not committed:
// what arrives is each one's first messages in order, and a reclaim gives back the rest.
TEST_P(Batch, SenderKilledMidBatchLosesOnlyWhatItHadNotCommitted) {
    constexpr int kVictims = 6, kEach = 160;
    make_env(256);
    for (int k = 0; k < kVictims; ++k) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t sender = pxrtest::start_child([&] {
            PXR_unlink();
            MSG *msgs[kEach];
            uint32_t size = 8;
            if (PXR_getmem_batch(0, &size, msgs, kEach) != kEach) return 1;
            for (uint32_t i = 0; i < kEach; ++i) msgs[i]->instance = i;
            (void)!write(ready[1], "x", 1);
            for (uint32_t sent = 0; sent < kEach;)
                sent += PXR_send_batch(kServer, msgs + sent, std::min(16u, kEach - sent), nullptr);
            pause();
            return 0;
        });
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]), close(ready[1]);
        uint32_t received = 0, disorder = 0;
        MSG *got[16];
        auto receive_for = [&](int ms) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            while (std::chrono::steady_clock::now() < end) {
                const uint32_t n = PXR_timed_receive_batch(kServer, got, 16, 1);
                for (uint32_t i = 0; i < n; ++i) disorder += got[i]->instance != received++;
                PXR_relmem_batch(0, got, n);
            }
        };
        receive_for(k % 3);
        kill(sender, SIGKILL);
        EXPECT_EQ(pxrtest::wait_child(sender), 128 + SIGKILL);
        // Until the queue is empty: the positions it reserved and did not commit are skipped
        // after 2 ms each.
        for (int i = 0; i < 1000 && PXR_pending_msgs(kServer) != 0; ++i) receive_for(5);
        receive_for(1);
        PXR_reclaim_stats stats{};
        ASSERT_EQ(PXR_reclaim_buffers(sender, 0, &stats, nullptr, 0), 0);
        EXPECT_EQ(std::tuple(disorder, received + stats.returned, stats.queued, stats.undecided,
                             partition_hdr[0]->alloc_count),
                  std::tuple(0u, uint32_t(kEach), 0u, 0u, 0u))
            << k;
    }
}

// Rings are chosen by the creator alone, before its first queue, with a power of two.
using RingSetup = pxrtest::IpcTest;
TEST_F(RingSetup, RingQueuesAreChosenByTheCreatorBeforeItsFirstQueue) {
    EXPECT_EQ(PXR_ring_capacity(), -1); // not attached
    EXPECT_EQ(PXR_ring_queues(16), 1);
    ASSERT_EQ(PXR_init(PXR_INIT_CREATE, 0, 0), 0);
    EXPECT_EQ(PXR_ring_capacity(), 0);
    for (uint32_t bad : {0u, 8u, 24u, 131072u}) EXPECT_EQ(PXR_ring_queues(bad), 1) << bad;
    ASSERT_TRUE(pxr::use_ring_queues(65536));
    ASSERT_EQ(PXR_ring_queues(1024), 0); // the last holds
    ASSERT_EQ(IPC_create(kServer, 1), 0);
    EXPECT_EQ(PXR_ring_queues(16), 1);
    pxr_impl::shared(common_ptr->flags).fetch_or(CA_RUNNING);
    const int attacher = pxrtest::run_child([] {
        PXR_unlink();
        const bool before = PXR_ring_capacity() == -1 && PXR_pending_msgs(kServer) == 0;
        return before && pxr::ring_capacity() == 1024 && PXR_ring_queues(1024) == 1 ? 0 : 1;
    });
    EXPECT_EQ(attacher, 0);
    PXR_unlink();
    EXPECT_GE(pxrtest::remove_environment_objects(), 1); // pxr clean finds the rings too
    EXPECT_EQ(shmget(PXR_KEY_RING_QUEUES, 0, 0), -1);
}

} // namespace
