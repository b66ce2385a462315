// Creating, attaching, running and ending an environment with real processes, and the lock
// protocol and IPC wrappers underneath.
#include "ipc_test.h"

#include "env/pxr_internal.h"

#include <atomic>
#include <csignal>
#include <string>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using pxrtest::run_child;
using pxrtest::start_child;
using pxrtest::wait_child;

class Lifecycle : public pxrtest::IpcTest {};

// Objects of the key plan still present in the kernel.
int objects_left() {
    int n = 0;
    for (int key : {pxr::kSystemLockKey, pxr::kExitSemKey, pxr::kFatalSemKey,
                    pxr::kPartitionLockKey, pxr::kPartitionLockKey + 1})
        n += semget(key, 0, 0) >= 0;
    for (int key : {pxr::kCommonAreaKey, pxr::kPartitionHeaderKey, pxr::kPartitionHeaderKey + 1,
                    pxr::kMsgArrayKey, pxr::kMsgArrayKey + 1})
        n += shmget(key, 0, 0) >= 0;
    for (int m = 0; m < PXR_MODULE_COUNT; ++m) n += msgget(pxr::kModuleQueueKey + m, 0) >= 0;
    return n;
}

std::atomic<int> alarms{0};
void count_alarm(int) {
    alarms.fetch_add(1);
}

TEST_F(Lifecycle, CreateFillsTheCommonAreaAndInitReportsEachRefusal) {
    EXPECT_EQ(run_child([] { return PXR_init(0, 0, 0); }), 5); // no system lock yet

    const uint32_t flags = PXR_INIT_ERROR_PRINT | PXR_INIT_ATOMIC | PXR_INIT_FATAL_ACTION(1);
    ASSERT_EQ(PXR_init(flags | PXR_INIT_CREATE, 12345, 16), 0);
    ASSERT_NE(common_ptr, nullptr);
    const CommonArea &ca = *common_ptr;
    EXPECT_EQ(ca.flags, CA_CREATED);
    EXPECT_EQ(ca.congestion_module, 16u);
    EXPECT_TRUE(ca.error_print == 1 && ca.atomic_mode == 1 && ca.fatal_action == 1);
    EXPECT_EQ(ca.fatal_semid, semget(pxr::kFatalSemKey, 0, 0));
    EXPECT_EQ(ca.interface_version, 0x10042u); // read by other builds attaching
    EXPECT_STREQ(ca.platform, "LINUX-64");
    for (const ModuleQueueEntry &e : ca.module_queues)
        EXPECT_TRUE(e.msqid == PXR_NO_QUEUE && e.alias_of == 0 && e.queue_flags == 0);
    for (int i = 0; i < PXR_COUNTER_COUNT; ++i) EXPECT_EQ(counter_ptr[i], &ca.counters[i]);

    // Already attached: nothing is done, whatever the flags.
    EXPECT_EQ(PXR_init(PXR_INIT_CREATE, 0, 99), 6);
    EXPECT_EQ(PXR_init(PXR_INIT_NO_ATTACH, 0, 99), 6);
    EXPECT_EQ(ca.congestion_module, 16u);
    EXPECT_EQ(ca.flags, CA_CREATED);

    // Not running yet: attach says 9 and keeps the lock id; a second create says 1.
    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  if (PXR_init(0, 0, 0) != 9 || common_ptr != nullptr) return 1;
                  if (pxr_semid != semget(pxr::kSystemLockKey, 0, 0)) return 2;
                  if (PXR_init(PXR_INIT_CREATE, 0, 0) != 1 || pxr_semid != -1) return 3;
                  return 0;
              }),
              0);

    pxr::shared(common_ptr->flags).fetch_or(CA_RUNNING);
    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  PXR_sys_failure = 1;
                  if (PXR_init(0, 0, 0) != 0 || common_ptr == nullptr) return 1;
                  return PXR_sys_failure == 0 && common_ptr->congestion_module == 16 ? 0 : 2;
              }),
              0);
}

TEST_F(Lifecycle, NoAttachEnvironmentAndMissingCommonArea) {
    pxrtest::EnvSpec layout;
    layout.init_flags = PXR_INIT_NO_ATTACH;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  int rc = PXR_init(0, 0, 0);
                  return rc == PXR_INIT_REFUSED && common_ptr == nullptr ? 0 : 100 + rc;
              }),
              0);

    // The common area is gone but the system lock is not: attach fails with 3, and the close
    // of that process removes the lock it opened so that a new create succeeds.
    shmctl(shmget(pxr::kCommonAreaKey, 0, 0), IPC_RMID, nullptr);
    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  if (PXR_init(0, 0, 0) != 3) return 1;
                  if (PXR_init(PXR_INIT_CREATE, 0, 0) != 1) return 2;
                  if (PXR_init(0, 0, 0) != 3 || PXR_close() != 0) return 3;
                  if (semget(pxr::kSystemLockKey, 0, 0) >= 0) return 4;
                  if (PXR_init(PXR_INIT_CREATE, 0, 0) != 0) return 5;
                  PXR_close();
                  return 0;
              }),
              0);
    PXR_unlink();
    EXPECT_EQ(objects_left(), 3); // the first partition, not attached by the closer
}

// The loader's whole road: create, start an application before the environment runs, wait;
// a second application asks for termination with an exit status; nothing is left.
TEST_F(Lifecycle, LoaderStartsAppsAndTerminateWakesItsExitWait) {
    ASSERT_EQ(PXR_init(PXR_INIT_CREATE, 0, 0), 0);
    ASSERT_EQ(PXR_open_partition(0, 8, 32, 0, 0, PXR_OPEN_CREATE), 0u);
    ASSERT_EQ(PXR_open_partition(1, 4, 128, 0, 0, PXR_OPEN_CREATE), 0u);
    ASSERT_EQ(IPC_create(1, 1), 0);
    ASSERT_EQ(IPC_attach(2, 1), 0);

    std::string path = pxrtest::program_path("env_app");
    char *argv[] = {path.data(), const_cast<char *>("count"), const_cast<char *>("100"), nullptr};
    int32_t app = -1;
    ASSERT_EQ(SYS_spawn_process(0, argv, &app), 0);
    ASSERT_GT(app, 0);
    EXPECT_EQ(common_ptr->process_count, 1);
    EXPECT_EQ(common_ptr->processes[0].pid, app);
    EXPECT_EQ(std::string(common_ptr->processes[0].name), path.substr(0, 49));

    pid_t terminator = start_child([] {
        PXR_unlink(); // attaches lazily, waiting for the loader's exit wait
        if (PXR_detect() != 0) return 1;
        if (partition_hdr[0] == nullptr || partition_hdr[1] == nullptr) return 2;
        for (int i = 0; i < 500 && pxr::shared(common_ptr->counters[0]).load() < 100; ++i)
            PLAT_delay(10);
        pxr::shared(common_ptr->exit_status).store(7);
        if (PXR_terminate() != 0) return 3;
        return common_ptr == nullptr && PXR_sys_failure == 1 ? 0 : 4;
    });

    EXPECT_EQ(PXR_wait_exit(), 7);
    EXPECT_EQ(common_ptr->counters[0], 100u);
    EXPECT_EQ(wait_child(terminator), 0);
    int status = 0;
    waitpid(app, &status, 0);
    EXPECT_EQ(objects_left(), 0);
    PXR_unlink();
}

TEST_F(Lifecycle, SignalEndsTheExitWaitAndCloseOfAnUnattachedProcessDoesNothing) {
    EXPECT_EQ(PXR_close(), 0); // never initialised
    ASSERT_EQ(PXR_init(PXR_INIT_CREATE, 0, 0), 0);
    common_ptr->exit_status = 5;
    void *token = SYS_add_signal(count_alarm, 4);
    ASSERT_NE(token, nullptr);
    ualarm(100000, 0);
    EXPECT_EQ(PXR_wait_exit(), 5);
    EXPECT_EQ(alarms.load(), 1);
    EXPECT_EQ(semget(pxr::kExitSemKey, 0, 0), -1);
    EXPECT_NE(common_ptr->flags & CA_RUNNING, 0u);
    SYS_free_signal(token);

    EXPECT_EQ(PXR_close(), 0);
    EXPECT_EQ(common_ptr, nullptr);
    EXPECT_EQ(PXR_sys_failure, 1);
    EXPECT_EQ(objects_left(), 0);
    EXPECT_EQ(PXR_detect(), 1);
}

TEST_F(Lifecycle, LockOfAKilledHolderIsFreeAndInterruptedGrabsRetry) {
    int semid = -1;
    ASSERT_EQ(sema_open(&semid, pxr::kSystemLockKey, 1), 0);
    EXPECT_EQ(semctl(semid, 0, GETVAL), 0); // a fresh lock is free

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = start_child([&] {
        if (_grab_semaphore(semid) != 0) return 1;
        char c = 1;
        if (write(ready[1], &c, 1) != 1) return 2;
        usleep(300000);
        kill(getpid(), SIGKILL);
        return 3;
    });
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(semctl(semid, 0, GETVAL), 1);

    // Interrupted by an alarm, the grab waits again and gets the lock once the kernel undoes
    // the killed holder's hold.
    alarms = 0;
    void *token = SYS_add_signal(count_alarm, 4);
    ualarm(100000, 0);
    EXPECT_EQ(_grab_semaphore(semid), 0);
    EXPECT_EQ(alarms.load(), 1);
    EXPECT_EQ(wait_child(holder), 128 + SIGKILL);
    EXPECT_EQ(_release_semaphore(semid), 0);
    EXPECT_EQ(semctl(semid, 0, GETVAL), 0);
    SYS_free_signal(token);

    EXPECT_EQ(sema_close(semid, 0), 0);
    EXPECT_EQ(semctl(semid, 0, GETVAL), 0); // still there
    EXPECT_EQ(sema_close(semid, 1), 0);
    EXPECT_EQ(sema_close(semid, 1), 1);

    // A lock operation on a removed set is final: flagged and detached.
    PXR_sys_failure = 0;
    EXPECT_EQ(_grab_semaphore(semid), 1);
    EXPECT_EQ(PXR_sys_failure, 1);
    close(ready[0]);
    close(ready[1]);
}

} // namespace
