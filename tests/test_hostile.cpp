// Hostile input: forged queue records, damaged shared words, pointers that are not messages,
// pids and ids written into the common area by another user, and message lengths beyond the
// buffer. Each ends in a clear failure, never a crash.
#include "ipc_test.h"

#include "check.h"
#include "env/ring_queues.h"

#include <sys/prctl.h>

namespace {

using namespace pxrtest;

constexpr uint32_t kQueue = 10;

class HostileTest : public IpcTest {
  protected:
    void make_env(uint32_t flags, int32_t buffers = 8, uint32_t rings = 0) {
        remove_environment_objects();
        ASSERT_TRUE(create_running_environment(
            {.init_flags = flags, .buffers0 = buffers, .ring_capacity = rings}));
        ASSERT_EQ(IPC_create(kQueue, 1), 0);
    }
};

// A raw queue record put by a foreign process that knows only the key.
int forge(const void *text, size_t len) {
    return run_child([=] {
        PXR_unlink();
        struct {
            long mtype;
            uint8_t text[64];
        } r{1, {}};
        std::memcpy(r.text, text, len);
        return msgsnd(msgget(pxr_impl::module_queue_key(kQueue), 0), &r, len, IPC_NOWAIT) == 0 ? 0
                                                                                               : 1;
    });
}

TEST_F(HostileTest, ForgedRecordsAreDroppedAndTheReceiverGoesOn) {
    make_env(0, 16);
    // Too short, a partition that does not exist or is not created, an index too large.
    const uint8_t shorter[8] = {1};
    ASSERT_EQ(forge(shorter, sizeof shorter), 0);
    ASSERT_EQ(forge(shorter, 0), 0);
    const uint16_t bad[][6] = {{0, 2}, {0, 0xFFFF}, {0, 1}, {16, 0}, {0xFFFF, 0}}; // index, part
    for (const auto &b : bad) ASSERT_EQ(forge(b, sizeof b), 0);
    ASSERT_EQ(PXR_pending_msgs(kQueue), 7);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(PXR_grab(kQueue), nullptr) << "record " << i;
    EXPECT_EQ(PXR_sys_failure, 0);
    for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(pxr_impl::slot_at(0, i)->receive_pid, 0) << i;

    MSG *m = getm(0x100, 42, 0, 4);
    ASSERT_EQ(PXR_send(kQueue, m), 0);
    EXPECT_EQ(PXR_grab(kQueue), m);
    EXPECT_EQ(relm(m), 0);
    // A forged reference to a free buffer is received, but its release is refused.
    const uint16_t real[6] = {5, 0};
    ASSERT_EQ(forge(real, sizeof real), 0);
    MSG *ghost = PXR_grab(kQueue);
    ASSERT_NE(ghost, nullptr);
    EXPECT_EQ(pxr_impl::slot_of(ghost)->index, 5u);
    EXPECT_EQ(relm(ghost), 1);
    pxrtool::EnvironmentCheck env;
    EXPECT_EQ(pxrtool::check_environment(env), 0);
    EXPECT_EQ(env.queued_records, 0u);
}

// A record longer than 12 bytes is not cut: the receive fails for good (detach, failure flag)
// and the record stays at the head of the queue.
TEST_F(HostileTest, OverlongRecordBlocksTheQueue) {
    make_env(0);
    const uint8_t longer[16] = {};
    ASSERT_EQ(forge(longer, sizeof longer), 0);
    ASSERT_EQ(PXR_send(kQueue, getm(0x100, 1, 0, 0)), 0);
    for (int i = 0; i < 2; ++i) { // the second attaches again, and fails again
        EXPECT_EQ(PXR_grab(kQueue), nullptr);
        EXPECT_EQ(PXR_sys_failure, 1);
        EXPECT_EQ(common_ptr, nullptr);
    }
    ASSERT_EQ(PXR_link(), 0);
    EXPECT_EQ(PXR_pending_msgs(kQueue), 2);
    pxrtool::EnvironmentCheck env;
    EXPECT_EQ(pxrtool::check_environment(env), 0); // the stuck message's buffer is accounted
    EXPECT_EQ(env.partitions[0].allocated, 1u);
}

TEST_F(HostileTest, PointersThatAreNotMessagesAreRefused) {
    make_env(PXR_INIT_ATOMIC);
    MSG *m = getm(1, 0, 0, 8);
    ASSERT_NE(m, nullptr);
    alignas(8) uint8_t local[256] = {};
    auto *bytes = reinterpret_cast<uint8_t *>(m);
    MSG *bad[] = {nullptr, reinterpret_cast<MSG *>(local + 44), reinterpret_cast<MSG *>(bytes + 4),
                  reinterpret_cast<MSG *>(bytes - 44)};
    for (MSG *b : bad) {
        EXPECT_EQ(relm(b), 1);
        EXPECT_EQ(PXR_relmem(0, b), 1u);
        EXPECT_EQ(atomic_relmem(b == nullptr ? nullptr : pxr_impl::slot_of(b)), 1u);
        EXPECT_EQ(PXR_send(kQueue, b), -1);
        EXPECT_EQ(confirm_msg(b), -1);
        EXPECT_EQ(update_congestion(b, 1, 0, 1), 1u);
    }
    EXPECT_EQ(trace_msg(nullptr), -1);
    EXPECT_EQ(trace_msg(bad[2]), -1);
    EXPECT_EQ(PXR_set_instance(1, nullptr), -1);
    EXPECT_EQ(m->src, 0); // nothing was written through a refused pointer
    EXPECT_EQ(relm(m), 0);
    // Released, the buffer is the pool's: sending or answering it would give it two owners.
    m->reply_mask = 0xFFFF;
    EXPECT_EQ(PXR_send(kQueue, m), -1);
    EXPECT_EQ(confirm_msg(m), -1);
    EXPECT_EQ(PXR_pending_msgs(kQueue), 0);

    // Null arguments get the function's failure value; a foreign token is not freed.
    uint32_t v = 7;
    int count = 4;
    char *tokens[4], line[8] = "a b", err[80];
    EXPECT_EQ(PXR_getmem(0, nullptr), nullptr);
    EXPECT_EQ(MNG_trace_event(nullptr, 1, 2), -1);
    EXPECT_EQ(ID_build_ident(nullptr, 1, 2, 3, "x"), 1);
    EXPECT_EQ(PLAT_open(nullptr, 1), -1);
    EXPECT_EQ((std::tuple{strtou32(nullptr, "1"), strtou32(&v, nullptr)}),
              (std::tuple{PXR_BAD_U32, PXR_BAD_U32}));
    EXPECT_EQ(strtonum(&v, nullptr) + v, 7u);
    EXPECT_EQ(utl_read_line(nullptr, line, 8), -1);
    EXPECT_EQ(utl_parse_line(line, 3, &count, tokens, nullptr), -1);
    EXPECT_EQ(utl_parse_line(nullptr, 3, &count, tokens, err), -1);
    EXPECT_EQ(parse_line(nullptr, &count, tokens), 1);
    EXPECT_EQ(parse_line(stdin, nullptr, tokens), -1);
    EXPECT_EQ(SYS_free_signal(local), 1);
    EXPECT_EQ(count, 4);
}

// Each row damages one word of a fresh partition in a child, then allocates (or releases a
// buffer it holds); the child must fail cleanly, with the word named on stderr. The
// list-level rows are in test_pools_threads.
struct DamageRow {
    bool atomic, release;
    void (*damage)(PartitionHeader *, SysMsg *held);
    const char *message;
};
const DamageRow kDamage[] = {
    {false, false, [](PartitionHeader *h, SysMsg *) { h->free_head = 40; },
     "partition 0 is damaged: free_head = 0x00000028"},
    {false, true, [](PartitionHeader *h, SysMsg *) { h->free_tail = 40; },
     "free_tail = 0x00000028"},
    {true, false, [](PartitionHeader *, SysMsg *) { pxr_impl::slot_at(0, 2)->next = 40; },
     "next of buffer 2 = 0x00000028"},
    {true, true, [](PartitionHeader *, SysMsg *) { pxr_impl::slot_at(0, 7)->next = 7; },
     "free_tail"},
    {true, true, [](PartitionHeader *, SysMsg *held) { held->partition = 7; },
     "partition of buffer 1 = 0x00000007"},
};

TEST_F(HostileTest, DamagedWordsEndInAClearFailure) {
    for (const DamageRow &row : kDamage) {
        SCOPED_TRACE(row.message);
        make_env(row.atomic ? PXR_INIT_ATOMIC : 0);
        EXPECT_EQ(run_child([&] {
                      alarm(20); // an endless loop ends the child with SIGALRM
                      MSG *first = getm(1, 0, 0, 8), *held = getm(1, 0, 0, 8);
                      if (first == nullptr || held == nullptr) return 10;
                      row.damage(partition_hdr[0], pxr_impl::slot_of(held));
                      bool failed = false;
                      const std::string err = capture_stderr([&] {
                          failed = row.release ? relm(held) == 1 : getm(1, 0, 0, 8) == nullptr;
                      });
                      if (!failed || err.find(row.message) == std::string::npos) return 11;
                      return PXR_sys_failure == 1 ? 0 : 12;
                  }),
                  0);
        PXR_unlink();
    }
}

// A header whose num_msgs * stride wraps 32 bits names no array: an attach leaves the
// partition unattached with one line on stderr, and the tools that read it do not crash.
TEST_F(HostileTest, AHeaderWhoseGeometryWraps32BitsIsNeverMapped) {
    const std::pair<int32_t, uint32_t> rows[] = {{200, 21474837},
                                                 {31580642, 136}}; // 104 and 16 bytes
    for (const auto &[count, stride] : rows) {
        make_env(0);
        PartitionHeader *h = partition_hdr[0];
        h->num_msgs = count;
        h->stride = stride;
        const std::string err = capture_stderr([] {
            EXPECT_EQ(run_child([] {
                          PXR_unlink();
                          return int(PXR_link() != 0 || partition_hdr[0] != nullptr ||
                                     PXR_show_msgs() != 0);
                      }),
                      0);
        });
        EXPECT_NE(err.find("partition 0 is damaged: num_msgs " + std::to_string(count)),
                  std::string::npos)
            << err;
        TempDir dir;
        for (auto args : {std::vector<std::string>{"status"}, {"msgs", "--json"}, {"reclaim"}})
            EXPECT_LT(unsigned(run_pxr(dir, args).code), 128u) << args[0];
        h->num_msgs = 8, h->stride = 136;
        PXR_unlink();
    }
}

// Words of the ring segment rewritten by another process: the capacity word is never used
// (each process takes it from the segment's size), and a ring whose head was moved refuses
// sends and takes with one line instead of a crash or a silent stall.
TEST_F(HostileTest, RewrittenRingWordsNeitherCrashNorStall) {
    make_env(0, 8, 16);
    auto *area =
        static_cast<pxr_impl::RingArea *>(shmat(shmget(PXR_KEY_RING_QUEUES, 0, 0), nullptr, 0));
    MSG *first = getm(1, 0, 0, 0);
    ASSERT_EQ(PXR_send(kQueue, first), 0);
    ASSERT_EQ(PXR_grab(kQueue), first); // head moves on: a reclaim now walks slots
    relm(first);
    area->capacity = 65536;
    const pid_t ended = start_child([] { return PXR_unlink(), PXR_link(); });
    EXPECT_EQ(wait_child(ended), 0);
    EXPECT_EQ(PXR_reclaim_buffers(ended, 0, nullptr, nullptr, 0), 0); // ring_after_death
    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  MSG *m = getm(1, 0, 0, 0);
                  return int(PXR_ring_capacity() != 16 || PXR_send(kQueue, m) != 0 ||
                             PXR_grab(kQueue) != m || relm(m) != 0);
              }),
              0);

    const pxr_impl::ring::View ring =
        pxr_impl::ring_of_queue(kQueue, common_ptr->module_queues[kQueue].msqid);
    ring.header->head += 5000;
    ring.header->tail += 5000 + 17;
    MSG *m = getm(1, 0, 0, 0);
    int sent = 0;
    MSG *got = m;
    const std::string err = capture_stderr([&] {
        sent = PXR_send(kQueue, m);
        got = PXR_timed_receive(kQueue, 60000);
    });
    EXPECT_EQ(std::tuple(sent, got, errno), std::tuple(-1, nullptr, EUCLEAN));
    EXPECT_NE(err.find("the ring of module 10 is damaged"), std::string::npos) << err;
    EXPECT_EQ(err.find("damaged", err.find("damaged") + 1), std::string::npos) << "said once";
    relm(m);
    shmdt(area);
}

TEST_F(HostileTest, RepairReturnsABufferLostInAKilledRelease) {
    make_env(PXR_INIT_ATOMIC);
    MSG *m = getm(1, 0, 0, 8);
    ASSERT_NE(m, nullptr);
    pxr_impl::slot_of(m)->allocated = 0; // killed after marking it free, before linking it
    uint32_t relinked = 0;
    EXPECT_EQ(PXR_repair_partition(0, &relinked), 0);
    EXPECT_EQ((std::tuple{relinked, partition_hdr[0]->alloc_count}), (std::tuple{1, 0}));
    for (int i = 0; i < 7; ++i) EXPECT_NE(getm(1, 0, 0, 8), nullptr); // all but the one that stays
    EXPECT_EQ(PXR_repair_partition(2, nullptr), -1);
}

// As nobody when root, so that a wrong kill(-1) reaches nobody's processes only; dumpable, so
// that the closer (also nobody) may read the maps of the others.
bool as_nobody() {
    return geteuid() != 0 ||
           (setgid(65534) == 0 && setuid(65534) == 0 && prctl(PR_SET_DUMPABLE, 1) == 0);
}

// The closer signals every recorded pid as it stands, attached or not; the tools, which must
// never be aimed at another user's process, verify every entry: the clean of an environment that
// another user forged around a process of ours leaves that process alone.
TEST_F(HostileTest, CloserSignalsEveryRecordedPidAndCleanSparesForeignProcesses) {
    make_env(0);
    const pid_t outsider = start_child([] { return PXR_unlink(), pause(); }); // never attached
    EXPECT_EQ(run_child([&] { return SYS_add_pid(outsider, "x") + PXR_close(); }), 0);
    EXPECT_EQ(wait_child(outsider), 128 + SIGTERM);

    const pid_t victim = start_child([] { return execlp("sleep", "sleep", "600", nullptr); });
    const int forged = run_child([&] {
        PXR_unlink();
        if (getuid() != 0 || !as_nobody()) return 90;
        if (PXR_init(PXR_INIT_CREATE, 0, 0) != 0) return 1;
        PXR_admit_attachers();
        return SYS_add_pid(victim, "sleep"); // and ends without a close: "crashed"
    });
    if (forged != 90) {
        ASSERT_EQ(forged, 0);
        TempDir dir;
        const PxrRun r = run_pxr(dir, {"clean"});
        EXPECT_NE(r.out.find("left process " + std::to_string(victim) +
                             " (sleep): it runs as another user"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(waitpid(victim, nullptr, WNOHANG), 0) << "a foreign process was signalled";
    }
    kill(victim, SIGKILL);
    wait_child(victim);

    PXR_unlink();
    make_env(0);
    // With no loader, a recorded process is a member when it maps the common area: clean
    // stops it (or keeps it when told to) and leaves a stranger.
    const pid_t member = start_child([] { return pause(); }); // the test's mapping, inherited
    const pid_t stranger = start_child([] { return PXR_unlink(), pause(); });
    EXPECT_EQ(SYS_add_pid(member, "member") + SYS_add_pid(stranger, "stranger"), 0);
    TempDir cdir;
    const std::string m = std::to_string(member), st = std::to_string(stranger);
    std::string out = run_pxr(cdir, {"clean", "--dry-run"}).out;
    EXPECT_NE(out.find("would stop process " + m + " (member)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("left process " + st + " (stranger): "), std::string::npos) << out;
    out = run_pxr(cdir, {"clean", "--dry-run", "--keep-processes"}).out;
    EXPECT_NE(out.find("kept process " + m + " (member)"), std::string::npos) << out;
    EXPECT_EQ(out.find("kept process " + st), std::string::npos) << out;
    for (pid_t p : {member, stranger}) kill(p, SIGKILL), wait_child(p);
}

TEST_F(HostileTest, IdsOverwrittenInTheCommonAreaNameNoVictim) {
    make_env(0);
    const int queue = msgget(IPC_PRIVATE, 0600), sem = semget(IPC_PRIVATE, 1, 0600);
    common_ptr->module_queues[kQueue].msqid = uint32_t(queue);
    common_ptr->fatal_semid = sem;
    EXPECT_EQ(PXR_close(), 0);
    msqid_ds qs{};
    semid_ds ss{};
    EXPECT_EQ(msgctl(queue, IPC_STAT, &qs), 0) << "an object of no environment was removed";
    EXPECT_EQ(semctl(sem, 0, IPC_STAT, &ss), 0) << "an object of no environment was removed";
    EXPECT_LT(msgget(pxr_impl::module_queue_key(kQueue), 0), 0); // the environment's own went
    EXPECT_LT(semget(pxr_impl::kFatalSemKey, 0, 0), 0);
    msgctl(queue, IPC_RMID, nullptr);
    semctl(sem, 0, IPC_RMID);
}

// A len beyond the parameter size: the trace and the listing print only the buffer's bytes.
TEST_F(HostileTest, LengthBeyondTheParameterSize) {
    ASSERT_TRUE(create_running_environment({.buffers0 = 2, .size0 = 16}));
    MSG *first = getm(0x100, 0, 0, 16), *last = getm(0x100, 0, 0, 16); // last: the array's end
    ASSERT_NE(first, nullptr);
    ASSERT_NE(last, nullptr);
    std::memset(first->param, 0xAB, 16);
    std::memset(last->param, 0xCD, 16);
    first->len = 0xFFFF;
    last->len = 40;
    std::string ab, cd;
    for (int i = 0; i < 16; ++i) ab += "ab", cd += "cd";
    EXPECT_EQ(capture_stdout([&] { trace_msg(last); }),
              "M-I0000-t0100-i0000-f00-d00-s00-p(40)" + cd + "\n");
    const std::string listing = capture_stdout([] { PXR_show_msgs(); });
    EXPECT_NE(listing.find("-p(65535)" + ab + "\n"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("abcd"), std::string::npos) << "read into the next slot";
    first->len = last->len = 0;
}

} // namespace
