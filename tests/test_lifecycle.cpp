// Creating, attaching, running and ending an environment with real processes, attachment across
// unlink and replacement, and the lock protocol underneath.
#include "ipc_test.h"

#include <atomic>
#include <chrono>

namespace {

using namespace pxrtest;

using namespace std::chrono_literals;

class Lifecycle : public IpcTest {};

std::atomic<int> alarms{0};

TEST_F(Lifecycle, CreateFillsTheCommonAreaAndInitReportsEachRefusal) {
    EXPECT_EQ(run_child([] { return PXR_init(0, 0, 0); }), 5); // no system lock yet

    const uint32_t flags = PXR_INIT_ERROR_PRINT | PXR_INIT_ATOMIC | PXR_INIT_FATAL_ACTION(1);
    ASSERT_EQ(PXR_init(flags | PXR_INIT_CREATE, 12345, 16), 0);
    ASSERT_NE(common_ptr, nullptr);
    const CommonArea &ca = *common_ptr;
    EXPECT_EQ(ca.flags, CA_CREATED);
    EXPECT_EQ(ca.congestion_module, 16u);
    EXPECT_EQ((std::tuple{ca.error_print, ca.atomic_mode, ca.fatal_action}), (std::tuple{1, 1, 1}));

    // Already attached: nothing is done, whatever the flags.
    EXPECT_EQ(PXR_init(PXR_INIT_CREATE, 0, 99), 6);
    EXPECT_EQ(PXR_init(PXR_INIT_NO_ATTACH, 0, 99), 6);
    EXPECT_EQ((std::tuple{ca.congestion_module, ca.flags}), (std::tuple{16, CA_CREATED}));

    // Not running yet: attach says 9 and keeps the lock id; a second create says 1.
    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  if (PXR_init(0, 0, 0) != 9 || common_ptr != nullptr) return 1;
                  if (pxr_semid != semget(pxr_impl::kSystemLockKey, 0, 0)) return 2;
                  if (PXR_init(PXR_INIT_CREATE, 0, 0) != 1 || pxr_semid != -1) return 3;
                  return 0;
              }),
              0);

    PXR_admit_attachers();
    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  PXR_sys_failure = 1;
                  if (PXR_init(0, 0, 0) != 0 || common_ptr == nullptr) return 1;
                  return PXR_sys_failure == 0 && common_ptr->congestion_module == 16 ? 0 : 2;
              }),
              0);
}

TEST_F(Lifecycle, NoAttachEnvironmentAndMissingCommonArea) {
    ASSERT_TRUE(create_running_environment({.init_flags = PXR_INIT_NO_ATTACH}));
    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  int rc = PXR_init(0, 0, 0);
                  return rc == PXR_INIT_REFUSED && common_ptr == nullptr ? 0 : 100 + rc;
              }),
              0);

    // The common area is gone but the system lock is not: attach fails with 3, and the close
    // of that process removes the lock it opened so that a new create succeeds.
    shmctl(shmget(pxr_impl::kCommonAreaKey, 0, 0), IPC_RMID, nullptr);
    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  if (PXR_init(0, 0, 0) != 3 || PXR_init(PXR_INIT_CREATE, 0, 0) != 1) return 1;
                  if (PXR_init(0, 0, 0) != 3 || PXR_close() != 0) return 2;
                  if (semget(pxr_impl::kSystemLockKey, 0, 0) >= 0) return 3;
                  return PXR_init(PXR_INIT_CREATE, 0, 0) == 0 && PXR_close() == 0 ? 0 : 4;
              }),
              0);
    PXR_unlink();
    EXPECT_EQ(remove_environment_objects(), 3); // the first partition, not attached by the closer
}

// The loader's whole road: create, start an application before the environment runs, wait;
// a second application asks for termination with an exit status; nothing is left.
TEST_F(Lifecycle, LoaderStartsAppsAndTerminateWakesItsExitWait) {
    ASSERT_EQ(PXR_init(PXR_INIT_CREATE, 0, 0), 0);
    ASSERT_EQ(PXR_open_partition(0, 8, 32, 0, 0, PXR_OPEN_CREATE), 0u);
    ASSERT_EQ(PXR_open_partition(1, 4, 128, 0, 0, PXR_OPEN_CREATE), 0u);
    ASSERT_EQ(IPC_create(1, 1), 0);
    ASSERT_EQ(IPC_attach(2, 1), 0);

    std::string path = program_path("env_app");
    char *argv[] = {path.data(), const_cast<char *>("count"), const_cast<char *>("100"), nullptr};
    int32_t app = -1;
    ASSERT_EQ(SYS_spawn_process(0, argv, &app), 0);
    ASSERT_GT(app, 0);
    EXPECT_EQ((std::tuple{common_ptr->process_count, common_ptr->processes[0].pid}),
              (std::tuple{1, app}));

    pid_t terminator = start_child([] {
        PXR_unlink(); // attaches lazily, waiting for the loader's exit wait
        if (PXR_detect() != 0 || partition_hdr[0] == nullptr || partition_hdr[1] == nullptr)
            return 1;
        for (int i = 0; i < 500 && pxr_impl::shared(common_ptr->counters[0]).load() < 100; ++i)
            PLAT_delay(10);
        pxr_impl::shared(common_ptr->exit_status).store(7);
        if (PXR_terminate() != 0) return 3;
        return common_ptr == nullptr && PXR_sys_failure == 1 ? 0 : 4;
    });

    EXPECT_EQ(PXR_wait_exit(), 7);
    EXPECT_EQ(common_ptr->counters[0], 100u);
    EXPECT_EQ(wait_child(terminator), 0);
    waitpid(app, nullptr, 0);
    EXPECT_EQ(remove_environment_objects(), 0);
    PXR_unlink();
}

TEST_F(Lifecycle, SignalEndsTheExitWaitAndCloseOfAnUnattachedProcessDoesNothing) {
    EXPECT_EQ(PXR_close(), 0); // never initialised
    ASSERT_EQ(PXR_init(PXR_INIT_CREATE, 0, 0), 0);
    common_ptr->exit_status = 5;
    void *token = SYS_add_signal([](int) { alarms.fetch_add(1); }, 4);
    ualarm(100000, 0);
    EXPECT_EQ(PXR_wait_exit(), 5);
    EXPECT_EQ(alarms.load(), 1); // the signal ran, and the wait ended
    EXPECT_EQ(semget(pxr_impl::kExitSemKey, 0, 0), -1);
    EXPECT_NE(common_ptr->flags & CA_RUNNING, 0u);
    SYS_free_signal(token);

    EXPECT_EQ(PXR_close(), 0);
    EXPECT_EQ((std::tuple{common_ptr, PXR_sys_failure}), (std::tuple{nullptr, 1}));
    EXPECT_EQ(remove_environment_objects(), 0);
    EXPECT_EQ(PXR_detect(), 1);
}

TEST_F(Lifecycle, LockOfAKilledHolderIsFreeAndInterruptedGrabsRetry) {
    int semid = -1;
    ASSERT_EQ(sema_open(&semid, pxr_impl::kSystemLockKey, 1), 0);
    EXPECT_EQ(semctl(semid, 0, GETVAL), 0); // a fresh lock is free

    Ready ready;
    pid_t holder = start_child([&] {
        if (_grab_semaphore(semid) != 0) return 1;
        ready.signal(), usleep(300000);
        return kill(getpid(), SIGKILL);
    });
    ASSERT_TRUE(ready.wait());
    EXPECT_EQ(semctl(semid, 0, GETVAL), 1);

    // Interrupted by an alarm, the grab waits again and gets the lock once the kernel undoes
    // the killed holder's hold.
    alarms = 0;
    void *token = SYS_add_signal([](int) { alarms.fetch_add(1); }, 4);
    ualarm(100000, 0);
    EXPECT_EQ(_grab_semaphore(semid), 0);
    EXPECT_EQ(alarms.load(), 1);
    EXPECT_EQ(wait_child(holder), 128 + SIGKILL);
    EXPECT_EQ(_release_semaphore(semid), 0);
    SYS_free_signal(token);

    // A lock operation on a removed set is final: flagged and detached.
    EXPECT_EQ(sema_close(semid, 1), 0);
    PXR_sys_failure = 0;
    EXPECT_EQ(_grab_semaphore(semid), 1);
    EXPECT_EQ(PXR_sys_failure, 1);
}

// The process table is appended under the system lock: an append waits while another
// process holds it (a slow start of the child only makes this weaker, never wrong).
TEST_F(Lifecycle, AddPidWaitsForTheSystemLock) {
    ASSERT_TRUE(create_running_environment({}));
    ASSERT_EQ(_grab_semaphore(pxr_semid), 0);
    const pid_t child = start_child([] { return SYS_add_pid(getpid(), "late"); });
    usleep(300 * 1000);
    EXPECT_EQ(common_ptr->process_count, 0) << "appended while another process held the lock";
    ASSERT_EQ(_release_semaphore(pxr_semid), 0);
    EXPECT_EQ(wait_child(child), 0);
    EXPECT_EQ(common_ptr->process_count, 1);
}

// A partition whose buffers cannot be mapped stays unattached (nothing of its old mapping is
// kept across the unlink): a record naming it is tried once more, then dropped, counted and
// reported, and the process's close leaves that partition whole.
TEST_F(Lifecycle, PartitionThatCannotBeMappedStaysUnattached) {
    ASSERT_TRUE(create_running_environment({.init_flags = PXR_INIT_ERROR_PRINT, .buffers1 = 4}));
    ASSERT_EQ(IPC_create(10, 1), 0);
    EXPECT_EQ(
        run_child([] {
            PXR_unlink();
            shmctl(shmget(pxr_impl::kMsgArrayKey + 1, 0, 0), IPC_RMID, nullptr);
            if (PXR_init(0, 0, 0) != 0 || partition_hdr[0] == nullptr) return 1;
            if (partition_hdr[1] != nullptr || partition_msgarray[1] != nullptr) return 2;
            pxr_impl::QueueRecord rec{1, 3, 1, {}};
            if (msgsnd(msgget(pxr_impl::module_queue_key(10), 0), &rec, pxr_impl::kRecordText, 0))
                return 3;
            MSG *got = nullptr;
            const std::string err = capture_stderr([&] { got = PXR_grab(10); });
            if (got != nullptr || PXR_dropped_records() != 1) return 4;
            if (err != "(" + std::to_string(getpid()) +
                           ")PXR_read(): record for buffer 3 of partition 1 dropped: "
                           "partition not attached\n")
                return 5;
            PXR_close();
            const bool kept = shmget(pxr_impl::kPartitionHeaderKey + 1, 0, 0) >= 0 &&
                              semget(pxr_impl::kPartitionLockKey + 1, 0, 0) >= 0;
            return kept && shmget(pxr_impl::kPartitionHeaderKey, 0, 0) < 0 ? 0 : 6;
        }),
        0);
}

// Lock-free form: a process that only sends learns from its first failed send that its
// environment was closed, and its next message goes into the one created again.
TEST_F(Lifecycle, SenderMovesToAnEnvironmentCreatedAgain) {
    const EnvSpec layout{.init_flags = PXR_INIT_ATOMIC};
    ASSERT_TRUE(create_running_environment(layout));
    Ready go;
    const pid_t sender = start_child([&] {
        MSG *m = go.wait() ? getm(0x100, 1, 0, 0) : nullptr;
        if (m == nullptr || PXR_send(10, m) == 0) return 1; // the old queues are gone
        relm(m);
        m = getm(0x100, 2, 0, 0);
        return m != nullptr && PXR_send(10, m) == 0 && PXR_detect() == 0 ? 0 : 2;
    });
    PXR_close();
    ASSERT_TRUE(create_running_environment(layout));
    ASSERT_EQ(IPC_create(10, 1), 0);
    go.signal();
    EXPECT_EQ(wait_child(sender), 0);
    EXPECT_EQ(PXR_pending_msgs(10), 1);
}

// A process that still maps the environment when the loader closes it keeps its mapping: it
// sees the emptied table (send: undefined, after its pause; grab: nothing at once) and the
// old tick, and stays attached until a partition lock call fails.
TEST_F(Lifecycle, ProcessStillAttachedAfterCloseSeesTheEmptiedTable) {
    ASSERT_TRUE(create_running_environment({.init_flags = PXR_INIT_ERROR_PRINT}));
    ASSERT_EQ(IPC_create(10, 1), 0);
    for (int i = 0; i < 3; ++i) SYS_timer_tick();
    Ready ready, go;
    const pid_t app = start_child([&] {
        PXR_unlink();
        MSG *m = getm(0x100, 1, 0, 0);
        if (m == nullptr || (ready.signal(), !go.wait())) return 1;
        const auto t0 = std::chrono::steady_clock::now();
        const auto ms = [&] { return (std::chrono::steady_clock::now() - t0) / 1ms; };
        if (PXR_grab(10) != nullptr || ms() > 500) return 2;
        if (PXR_pending_msgs(10) != -1 || PXR_sys_failure != 0 || common_ptr == nullptr) return 3;
        if (PXR_get_time() != 3) return 4;
        int sent = 0;
        const std::string err = capture_stderr([&] { sent = PXR_send(0x10a, m); });
        const std::string want =
            "(" + std::to_string(getpid()) + ")PXR_send() : Process : 0x10a undefined\n";
        if (sent != -1 || err != want || ms() < 2000) return 5;
        if (common_ptr == nullptr) return 6;
        return relm(m) == 1 && PXR_sys_failure == 1 && common_ptr == nullptr ? 0 : 7;
    });
    ASSERT_TRUE(ready.wait());
    PXR_close();
    go.signal();
    EXPECT_EQ(wait_child(app), 0);
}

} // namespace
