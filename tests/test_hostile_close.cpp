// A close driven by what another user wrote into the common area: pids and ids there must not
// direct the closer's signals or removals at anything outside the environment.
#include "ipc_test.h"

#include "env/pxr_internal.h"

#include <csignal>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using pxrtest::start_child;
using pxrtest::wait_child;

class HostileClose : public pxrtest::IpcTest {};

// As nobody when root, so that a wrong kill(-1) reaches nobody's processes only; dumpable, so
// that the closer (also nobody) may read the maps of the others.
bool as_nobody() {
    return geteuid() != 0 ||
           (setgid(65534) == 0 && setuid(65534) == 0 && prctl(PR_SET_DUMPABLE, 1) == 0);
}

TEST_F(HostileClose, CloserSignalsOnlyProcessesOfTheEnvironment) {
    ASSERT_TRUE(pxrtest::create_running_environment({}));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    auto idle = [&](bool attached) {
        return start_child([&ready, attached] {
            if (!as_nobody()) return 90;
            if (!attached) PXR_unlink(); // no longer of the environment
            if (write(ready[1], "x", 1) != 1) return 91;
            for (;;) pause();
        });
    };
    const pid_t outsider = idle(false), member = idle(true);
    char c;
    for (int i = 0; i < 2; ++i) ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(
        wait_child(start_child([&] {
            if (!as_nobody()) return 90;
            const pid_t child = start_child([] { return pause(); });
            // Written straight into the table, as any user of a 0666 area can.
            CommonArea *ca = common_ptr;
            for (pid_t pid : {outsider, member, child, pid_t(-1), pid_t(0), getpid(), getpgrp()})
                ca->processes[ca->process_count++].pid = pid;
            SYS_delete_pids();
            int st = 0;
            const bool ended = waitpid(child, &st, WNOHANG) == child && WIFSIGNALED(st);
            kill(child, SIGKILL);
            return ended && WTERMSIG(st) == SIGTERM ? 0 : 1;
        })),
        0);
    // The closer has waited a second since its SIGTERM: a member is gone by now.
    int st = 0;
    EXPECT_EQ(waitpid(member, &st, WNOHANG), member) << "a member of the environment was spared";
    EXPECT_EQ(waitpid(outsider, nullptr, WNOHANG), 0) << "a process of no environment was hit";
    for (pid_t pid : {member, outsider}) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
}

TEST_F(HostileClose, IdsOverwrittenInTheCommonAreaNameNoVictim) {
    ASSERT_TRUE(pxrtest::create_running_environment({}));
    ASSERT_EQ(IPC_create(10, 1), 0);
    const int queue = msgget(IPC_PRIVATE, 0600), sem = semget(IPC_PRIVATE, 1, 0600);
    common_ptr->module_queues[10].msqid = uint32_t(queue);
    common_ptr->fatal_semid = sem;
    EXPECT_EQ(PXR_close(), 0);
    msqid_ds qs{};
    semid_ds ss{};
    EXPECT_EQ(msgctl(queue, IPC_STAT, &qs), 0) << "an object of no environment was removed";
    EXPECT_EQ(semctl(sem, 0, IPC_STAT, &ss), 0) << "an object of no environment was removed";
    // The environment's own queue and fatal-event semaphore went all the same.
    EXPECT_LT(msgget(pxr::module_queue_key(10), 0), 0);
    EXPECT_LT(semget(pxr::kFatalSemKey, 0, 0), 0);
    msgctl(queue, IPC_RMID, nullptr);
    semctl(sem, 0, IPC_RMID);
}

} // namespace
