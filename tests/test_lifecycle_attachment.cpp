// The attachment of a process across unlink and replacement of the environment, and
// the serialisation of the process table by the system lock.
#include "ipc_test.h"

#include "env/pxr_internal.h"

#include <sys/msg.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

using pxrtest::run_child;
constexpr uint32_t kQueue = 10;

class LifecycleAttachment : public pxrtest::IpcTest {};

// After an unlink nothing of the old partitions is kept: attached again with partition 1 gone,
// a record naming partition 1 is dropped, not resolved with the old geometry.
TEST_F(LifecycleAttachment, ReceiveAfterUnlinkForgetsTheOldPartitions) {
    pxrtest::EnvSpec layout;
    layout.buffers1 = 4;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    ASSERT_EQ(IPC_create(kQueue, 1), 0);
    EXPECT_EQ(run_child([] {
                  PXR_unlink();
                  for (int key : {pxr::kPartitionHeaderKey + 1, pxr::kMsgArrayKey + 1})
                      shmctl(shmget(key, 0, 0), IPC_RMID, nullptr);
                  pxr::QueueRecord rec{1, 3, 1, {}};
                  const int q = msgget(pxr::module_queue_key(kQueue), 0);
                  if (msgsnd(q, &rec, pxr::kRecordText, 0) != 0) return 1;
                  if (PXR_grab(kQueue) != nullptr) return 2;
                  return partition_hdr[0] != nullptr && partition_hdr[1] == nullptr ? 0 : 3;
              }),
              0);
}

TEST_F(LifecycleAttachment, AddPidWaitsForTheSystemLock) {
    ASSERT_TRUE(pxrtest::create_running_environment({}));
    ASSERT_EQ(_grab_semaphore(pxr_semid), 0);
    const pid_t child = pxrtest::start_child([] { return SYS_add_pid(getpid(), "late"); });
    usleep(300 * 1000);
    EXPECT_EQ(common_ptr->process_count, 0) << "appended while another process held the lock";
    ASSERT_EQ(_release_semaphore(pxr_semid), 0);
    EXPECT_EQ(pxrtest::wait_child(child), 0);
    EXPECT_EQ(common_ptr->process_count, 1);
}

// Lock-free form: a process that only sends learns from its first failed send that its
// environment was closed, and its next message goes into the one created again.
TEST_F(LifecycleAttachment, SenderMovesToAnEnvironmentCreatedAgain) {
    pxrtest::EnvSpec layout;
    layout.init_flags = PXR_INIT_ATOMIC;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t sender = pxrtest::start_child([&] {
        char c;
        MSG *m = read(go[0], &c, 1) == 1 ? getm(0x100, 1, 0, 0) : nullptr;
        if (m == nullptr || PXR_send(kQueue, m) == 0) return 1; // the old queues are gone
        relm(m);
        m = getm(0x100, 2, 0, 0);
        return m != nullptr && PXR_send(kQueue, m) == 0 && PXR_detect() == 0 ? 0 : 2;
    });
    PXR_close();
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    ASSERT_EQ(IPC_create(kQueue, 1), 0);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    EXPECT_EQ(pxrtest::wait_child(sender), 0);
    EXPECT_EQ(PXR_pending_msgs(kQueue), 1);
}

} // namespace
