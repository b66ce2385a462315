// Groups across real processes: one buffer shared by the members, shares given back once,
// full members missing out (counted) or all-or-nothing sends, over both queue and pool forms.
#include "ipc_test.h"

#include "env/pxr_internal.h"
#include "pxr.hpp"

#include <csignal>
#include <fstream>
#include <string>
#include <sys/shm.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace {

constexpr uint32_t kGroup = 0x40, kAllOrNothing = 0x41;
constexpr uint8_t kMembers[] = {0x20, 0x21, 0x22};

// {ring capacity (0: kernel queues), init flags (PXR_INIT_ATOMIC: lock-free pools)}
class Groups : public pxrtest::IpcTest,
               public ::testing::WithParamInterface<std::tuple<uint32_t, uint32_t>> {
  protected:
    void make_env() {
        ASSERT_TRUE(pxrtest::create_running_environment({.init_flags = std::get<1>(GetParam()),
                                                         .buffers0 = 8,
                                                         .size0 = 64,
                                                         .ring_capacity = std::get<0>(GetParam()),
                                                         .running = false}));
        for (uint8_t m : kMembers) ASSERT_EQ(IPC_create(m, 1), 0);
        ASSERT_EQ(IPC_create(0x23, 1), 0);
        // Refusals: no queue of its own, a group id with a queue, counts, repeats, itself.
        const uint8_t alias[] = {0x30}, repeated[] = {0x20, 0x20}, self[] = {0x20, 0x40};
        ASSERT_EQ(IPC_attach(0x31, 0x23), 0);
        EXPECT_EQ(PXR_group_create(kGroup, alias, 1) + PXR_group_create(0x23, kMembers, 3) +
                      PXR_group_create(0x31, kMembers, 3) + PXR_group_create(kGroup, kMembers, 0) +
                      PXR_group_create(kGroup, kMembers, 17) +
                      PXR_group_create(kGroup, repeated, 2) + PXR_group_create(kGroup, self, 2) +
                      PXR_group_create(kGroup, nullptr, 1) + PXR_group_create(255, kMembers, 3),
                  9);
        ASSERT_EQ(PXR_group_create(kGroup, kMembers, 3), 0);
        ASSERT_EQ(PXR_group_create(kAllOrNothing, kMembers, 3), 0);
        ASSERT_EQ(PXR_group_all_or_nothing(kAllOrNothing), 0);
        EXPECT_EQ(PXR_group_create(kGroup, kMembers, 3), 1); // already a group
        // A group id is refused where a module with a queue is required.
        EXPECT_EQ(IPC_create(kGroup, 1) + IPC_attach(kGroup, 0x20), 2);
        PXR_admit_attachers();
        EXPECT_EQ(PXR_group_create(0x42, kMembers, 3), 1); // running
        EXPECT_EQ(PXR_receive(kGroup), nullptr);
    }
    uint32_t allocated() const { return partition_hdr[0]->alloc_count; }
};
INSTANTIATE_TEST_SUITE_P(QueueAndPoolForms, Groups,
                         ::testing::Combine(::testing::Values(0u, 16u),
                                            ::testing::Values(0u, PXR_INIT_ATOMIC)));

// Each member's process receives the same buffer and gives its share back once; the last
// share frees it. While other shares are out a send onward is refused and an answer only gives
// the share back; the holder of the last share answers as usual.
TEST_P(Groups, OneBufferReachesEveryMemberAndComesBackWithTheLastShare) {
    make_env();
    MSG *m = getm(0x4100, 7, 0xFFFF, 4); // a request: every member would answer it
    ASSERT_NE(m, nullptr);
    m->src = 0x23;
    m->param[0] = 42;
    ASSERT_EQ(PXR_send(kGroup, m), 0);
    EXPECT_EQ(PXR_message_shares(m), 3);
    MSG *mine = PXR_grab(0x20);
    ASSERT_EQ(mine, m);
    EXPECT_EQ(PXR_send(0x23, mine), -1);
    EXPECT_EQ(confirm_msg(mine), 0);
    EXPECT_EQ((std::tuple{PXR_message_shares(m), PXR_pending_msgs(0x23), m->src}),
              (std::tuple{2, 0, uint8_t(0x23)}));
    uint32_t p = 0, index = 0;
    msg_to_index(m, &p, &index);
    for (uint8_t member : {kMembers[1], kMembers[2]})
        EXPECT_EQ(pxrtest::run_child([member, index] {
                      MSG *got = PXR_receive(member);
                      uint32_t gp = 0, gi = 0;
                      if (got == nullptr) return 1;
                      msg_to_index(got, &gp, &gi);
                      if (gi != index || got->param[0] != 42) return 2;
                      return relm(got) == 0 && relm(got) == 1 ? 0 : 3;
                  }),
                  0);
    EXPECT_EQ(allocated(), 0u);
    EXPECT_EQ(PXR_message_shares(m), 0);
    EXPECT_EQ(PXR_send(kGroup, m), -1); // released: refused as any released buffer

    m = getm(0x4100, 8, 0xFFFF, 0);
    m->src = 0x23;
    ASSERT_EQ(PXR_send(kGroup, m), 0);
    for (uint8_t member : {kMembers[0], kMembers[1]}) EXPECT_EQ(relm(PXR_grab(member)), 0);
    EXPECT_EQ(confirm_msg(PXR_grab(kMembers[2])), 0); // the last share: answered
    EXPECT_EQ((std::tuple{PXR_message_shares(m), PXR_pending_msgs(0x23), allocated()}),
              (std::tuple{0, 1, 1u}));

    // C++: shared messages give their shares back at the end of their scope.
    auto sent = pxr::allocate(5, 0, 0, 0);
    ASSERT_EQ(pxr::send_to_group(kGroup, *sent), 0);
    {
        auto a = pxr::receive_shared(kMembers[0]), b = pxr::receive_shared(kMembers[1]);
        EXPECT_EQ((std::tuple{(*a)->type, a->shares(), bool(a->take_whole())}),
                  (std::tuple{5, 3, false}));
        auto c = pxr::receive_shared(kMembers[2]);
    }
    EXPECT_EQ(allocated(), 1u);
}

// A member whose queue is full misses the message (counted) and the others get it; the
// all-or-nothing group sends to nobody then, and the sender keeps the buffer.
TEST_P(Groups, AFullMemberMissesItsShareUnlessTheGroupIsAllOrNothing) {
    make_env();
    MSG *filler = getm(1, 0, 0, 0);
    while (PXR_timed_send(0x21, filler, 0) == 0) {
    }
    MSG *m = getm(2, 0, 0, 0);
    EXPECT_EQ(PXR_send(kAllOrNothing, m), -1);
    EXPECT_EQ(PXR_message_shares(m), 0);
    EXPECT_EQ(PXR_send(kGroup, m), 1);
    EXPECT_EQ(PXR_message_shares(m), 2);
    const GroupArea *area = static_cast<GroupArea *>(shmat(shmget(PXR_KEY_GROUPS, 0, 0), 0, 0));
    EXPECT_EQ((std::tuple{area->groups[kGroup].dropped[1], area->groups[kGroup].dropped[0],
                          area->groups[kGroup].sends, area->groups[kAllOrNothing].sends}),
              (std::tuple{1u, 0u, 1u, 0u}));
    shmdt(area);
    // The tools show the groups and the dropped share.
    pxrtest::TempDir dir;
    const std::string queues = pxrtest::run_pxr(dir, {"queues", "--json"}).out;
    EXPECT_NE(queues.find(R"({"kind":"group","module":64,"all_or_nothing":false,"sends":1,)"
                          R"("members":[32,33,34],"dropped":[0,1,0]})"),
              std::string::npos)
        << queues;
    EXPECT_NE(pxrtest::run_pxr(dir, {"metrics"})
                  .out.find(R"(pxr_group_shares_dropped_total{module="0x40",member="0x21"} 1)"),
              std::string::npos);
    EXPECT_NE(pxrtest::run_pxr(dir, {"watch", "--count", "1"})
                  .out.find("group 0x40: 1 sends; missed: 0x20=0 0x21=1 0x22=0"),
              std::string::npos);
    const uint32_t before = allocated();
    EXPECT_EQ(relm(PXR_grab(0x20)), 0);
    EXPECT_EQ(allocated(), before); // one share still out
    EXPECT_EQ(relm(PXR_grab(0x22)), 0);
    EXPECT_EQ(allocated(), before - 1);
    EXPECT_EQ(PXR_grab(0x22), nullptr);
}

// The timed send: an all-or-nothing group waits until every member has room (or keeps the
// buffer at the deadline); a plain group serves the members with room at once, waits for the
// full one until its receiver makes room, and drops a member that stays full at the deadline.
TEST_P(Groups, ATimedSendWaitsForFullMembersUntilItsDeadline) {
    make_env();
    MSG *filler = getm(1, 0, 0, 0);
    for (uint8_t member : {kMembers[1], kMembers[2]})
        while (PXR_timed_send(member, filler, 0) == 0) {
        }
    MSG *m = getm(2, 0, 0, 0);
    EXPECT_EQ(PXR_timed_send(kAllOrNothing, m, 30), 1);
    EXPECT_EQ(PXR_timed_send(kGroup, m, 20), 0); // 0x20 got it; the others stayed full
    EXPECT_EQ(PXR_message_shares(m), 1);
    EXPECT_EQ(relm(PXR_grab(kMembers[0])), 0);
    while (PXR_timed_send(kMembers[0], filler, 0) == 0) {
    }
    m = getm(3, 0, 0, 0);
    EXPECT_EQ(PXR_timed_send(kGroup, m, 20), 1); // every member full: the sender keeps it
    EXPECT_EQ(PXR_message_shares(m), 0);
    // From here each send has room in 0x20 and 0x21 (a filler reference taken out of each);
    // 0x22's receiver makes room twice, while each send waits.
    const pid_t receiver = pxrtest::start_child([] {
        for (int i = 0; i < 2; ++i) {
            usleep(150000);
            if (PXR_receive(kMembers[2]) == nullptr) return 1;
        }
        return 0;
    });
    MSG *next = getm(4, 0, 0, 0);
    for (MSG *sent : {m, next}) {
        for (uint8_t member : {kMembers[0], kMembers[1]}) EXPECT_EQ(PXR_grab(member), filler);
        EXPECT_EQ(PXR_timed_send(sent == m ? kAllOrNothing : kGroup, sent, 20000), 0);
        EXPECT_EQ(PXR_message_shares(sent), 3);
    }
    EXPECT_EQ(pxrtest::wait_child(receiver), 0);
    const GroupArea *area = static_cast<GroupArea *>(shmat(shmget(PXR_KEY_GROUPS, 0, 0), 0, 0));
    const GroupRecord &plain = area->groups[kGroup], &all = area->groups[kAllOrNothing];
    EXPECT_EQ((std::tuple{plain.sends, plain.dropped[0], plain.dropped[1], plain.dropped[2],
                          all.sends, all.dropped[1]}),
              (std::tuple{2u, 1u, 2u, 2u, 1u, 0u}));
    shmdt(area);

    // A sender killed while it waits: the reclaim gives back the shares it had not put yet,
    // and the member that got its reference still holds that share.
    EXPECT_EQ(PXR_grab(kMembers[0]), filler);
    const uint32_t before = allocated();
    const pid_t sender = pxrtest::start_child(
        [] { return PXR_timed_send(kGroup, getm(5, 0, 0, 0), 60000) == 0 ? 0 : 1; });
    const std::string syscall_file = "/proc/" + std::to_string(sender) + "/syscall";
    std::string call;
    for (int i = 0; i < 20000 && call.rfind("202 ", 0) != 0; ++i) { // asleep on the futex
        usleep(1000);
        std::ifstream in(syscall_file);
        std::getline(in, call);
    }
    kill(sender, SIGKILL);
    EXPECT_EQ(pxrtest::wait_child(sender), 128 + SIGKILL);
    PXR_reclaim_stats st{};
    ASSERT_EQ(PXR_reclaim_buffers(sender, 0, &st, nullptr, 0), 0);
    EXPECT_EQ((std::tuple{st.returned, allocated()}), (std::tuple{2u, before + 1}));
    MSG *last = nullptr;
    for (MSG *got; (got = PXR_grab(kMembers[0])) != nullptr;) last = got;
    EXPECT_EQ(relm(last), 0);
    EXPECT_EQ(allocated(), before);
}

// Shares held by a dead, a stopped and a live member: `pxr check` and `pxr reclaim --dry-run`
// charge the dead one alone; the reclaim gives its share back and the others stay until they
// give theirs. Two more buffers wait in every member's queue: the reclaim leaves their shares,
// the dead member's included, to whoever receives from those queues next, or to the operator's
// `pxr reclaim --queue`.
TEST_P(Groups, AMemberKilledHoldingItsShareLeavesTheOthersAlone) {
    make_env();
    MSG *m = getm(3, 0, 0, 0);
    ASSERT_EQ(PXR_send(kGroup, m), 0);
    for (int k = 0; k < 2; ++k) ASSERT_EQ(PXR_send(kGroup, getm(4, 0, 0, 0)), 0);
    auto holder = [](uint8_t member) {
        return pxrtest::start_child([member] {
            if (PXR_receive(member) == nullptr) return 1;
            pause();
            return 0;
        });
    };
    // The member to be killed receives first, then the one to be stopped.
    const pid_t dead = holder(kMembers[0]);
    while (PXR_pending_msgs(kMembers[0]) != 2) usleep(1000);
    usleep(20000);
    const pid_t stopped = holder(kMembers[1]);
    while (PXR_pending_msgs(kMembers[1]) != 2) usleep(1000);
    usleep(20000);
    kill(dead, SIGKILL);
    EXPECT_EQ(pxrtest::wait_child(dead), 128 + SIGKILL);
    kill(stopped, SIGSTOP);
    MSG *live = PXR_grab(kMembers[2]);
    EXPECT_EQ(PXR_buffer_holder(pxr_impl::slot_of(m), 0), dead);

    pxrtest::TempDir dir;
    const std::string check = pxrtest::run_pxr(dir, {"check"}).out;
    EXPECT_NE(check.find("held by processes that are gone: 1 (slot/pid: 0/" + std::to_string(dead)),
              std::string::npos)
        << check;
    EXPECT_NE(pxrtest::run_pxr(dir, {"reclaim", "--dry-run"})
                  .out.find("pxr reclaim: 1 buffer would be returned"),
              std::string::npos);
    PXR_reclaim_stats st{};
    ASSERT_EQ(PXR_reclaim_buffers(dead, 0, &st, nullptr, 0), 0);
    EXPECT_EQ((std::tuple{st.returned, PXR_message_shares(m), allocated()}),
              (std::tuple{1u, 2, 3u}));
    EXPECT_EQ(relm(live), 0);
    kill(stopped, SIGKILL);
    EXPECT_EQ(pxrtest::wait_child(stopped), 128 + SIGKILL);
    ASSERT_EQ(PXR_reclaim_buffers(0, 0, &st, nullptr, 0), 0);
    EXPECT_EQ((std::tuple{st.returned, PXR_message_shares(m), allocated()}),
              (std::tuple{1u, 0, 2u}));
    // The operator empties the dead member's queue; a queue whose last receiver runs is left.
    EXPECT_NE(pxrtest::run_pxr(dir, {"reclaim", "--queue", std::to_string(kMembers[0])})
                  .out.find("2 messages taken from module"),
              std::string::npos);
    EXPECT_EQ(pxrtest::run_pxr(dir, {"reclaim", "--queue", std::to_string(kMembers[2])}).code, 1);
    for (uint8_t member : {kMembers[1], kMembers[2]})
        for (int k = 0; k < 2; ++k) EXPECT_EQ(relm(PXR_grab(member)), 0);
    EXPECT_EQ(allocated(), 0u);
}

} // namespace
