// The module queue table: entry states, leftovers of an earlier run, and the query codes.
#include "ipc_test.h"

namespace {

using namespace pxrtest;

class QueueTable : public RunningEnvTest {};

// A queue under module m's key holding one record, as an earlier run could leave it.
int leftover_queue(uint32_t m) {
    const int id = msgget(pxr_impl::kModuleQueueKey + int(m), IPC_CREAT | 0666);
    pxr_impl::QueueRecord r{1, 0, 0, {}};
    return msgsnd(id, &r, pxr_impl::kRecordText, IPC_NOWAIT) == 0 ? id : -1;
}

const ModuleQueueEntry &entry(uint32_t m) {
    return common_ptr->module_queues[m];
}

void expect_entry(uint32_t m, uint32_t msqid, uint32_t alias_of, uint32_t flags) {
    EXPECT_EQ((std::tuple{entry(m).msqid, entry(m).alias_of, entry(m).queue_flags}),
              (std::tuple{msqid, alias_of, flags}))
        << m;
}

TEST_F(QueueTable, EntriesMoveBetweenOwnAliasAndRemoved) {
    ASSERT_EQ(IPC_create(5, 1), 0);
    const uint32_t own = entry(5).msqid;
    EXPECT_EQ(int(own), msgget(pxr_impl::kModuleQueueKey + 5, 0));
    expect_entry(5, own, 256, 1);
    EXPECT_EQ(IPC_create(5, 1), 1); // has a queue already

    EXPECT_EQ(IPC_attach(7, 5), 0);
    expect_entry(7, own, 5, 0);
    EXPECT_EQ(IPC_create(7, 1), 1); // an alias is not given a queue
    EXPECT_EQ(IPC_attach(8, 7), 0); // alias of an alias borrows the same queue
    expect_entry(8, own, 7, 0);
    EXPECT_EQ(IPC_attach(9, 200), 1);
    EXPECT_EQ(entry(9).msqid, PXR_NO_QUEUE);
    // Only an alias of the named module's queue is withdrawn; the queue stays its owner's.
    EXPECT_EQ(IPC_attach(10, 5), 0);
    EXPECT_EQ((std::tuple{IPC_unalias(10, 6), IPC_unalias(5, 5), IPC_unalias(9, 5),
                          IPC_unalias(10, 5), IPC_unalias(300, 5)}),
              (std::tuple{1, 1, 1, 0, 1}));
    expect_entry(10, PXR_NO_QUEUE, 256, 0);
    expect_entry(5, own, 256, 1);

    EXPECT_EQ(PXR_compare_moduleQs(7, 5), 0);
    EXPECT_EQ(PXR_compare_moduleQs(100, 101), 0); // both undefined
    EXPECT_EQ(PXR_compare_moduleQs(5, 100), 1);
    // {module, pending, lastpid}: -2 an alias, -1 undefined or beyond the table.
    const int queries[][3] = {{7, -2, -2}, {5, 0, 0}, {100, -1, -1}, {255, -1, -1}};
    for (const auto &q : queries) {
        EXPECT_EQ(PXR_pending_msgs(uint32_t(q[0])), q[1]) << q[0];
        EXPECT_EQ(PXR_lastpid(uint32_t(q[0])), q[2]) << q[0];
    }

    // A module pointed at its own queue keeps the id but may no longer receive.
    EXPECT_EQ(IPC_attach(5, 5), 0);
    EXPECT_EQ((std::tuple{entry(5).msqid, entry(5).queue_flags}), (std::tuple{own, 0}));
    EXPECT_EQ(PXR_pending_msgs(5), -2);

    EXPECT_EQ(IPC_delete(5), 0);
    expect_entry(5, PXR_NO_QUEUE, 256, 0);
    EXPECT_EQ(msgget(pxr_impl::kModuleQueueKey + 5, 0), -1);
    EXPECT_EQ(PXR_pending_msgs(5), -1);
    EXPECT_EQ(PXR_pending_msgs(7), -2); // still an alias, of a queue that is gone
    EXPECT_EQ(IPC_create(5, 1), 0);
    // A queue removed behind the table's back fails the status query.
    msgctl(int(entry(5).msqid), IPC_RMID, nullptr);
    EXPECT_EQ((std::tuple{PXR_pending_msgs(5), PXR_lastpid(5)}), (std::tuple{-4, -4}));

    // Ids without an entry touch nothing.
    EXPECT_EQ((std::tuple{IPC_create(300, 1), IPC_attach(300, 5), IPC_attach(5, 300)}),
              (std::tuple{1, 1, 1}));
    EXPECT_EQ((std::tuple{IPC_delete(300), PXR_compare_moduleQs(300, 300)}), (std::tuple{0, 1}));
    EXPECT_EQ(msgget(pxr_impl::kModuleQueueKey + 300, 0), -1);
}

TEST_F(QueueTable, CreateDropsLeftoversAndOpenKeepsThem) {
    int old3 = leftover_queue(3);
    int old4 = leftover_queue(4);
    ASSERT_EQ(IPC_create(3, 1), 0);
    EXPECT_NE(int(entry(3).msqid), old3);
    EXPECT_EQ(PXR_pending_msgs(3), 0);
    ASSERT_EQ(IPC_create(4, 0), 0);
    EXPECT_EQ((std::tuple{int(entry(4).msqid), PXR_pending_msgs(4)}), (std::tuple{old4, 1}));

    EXPECT_EQ(IPC_create(6, 0), 1); // nothing to open

    // The queries see the kernel's figures from another process, which attaches lazily.
    const int id4 = int(entry(4).msqid);
    pid_t receiver = start_child([id4] {
        PXR_unlink();
        if (PXR_pending_msgs(4) != 1) return 1;
        pxr_impl::QueueRecord r{};
        return msgrcv(id4, &r, pxr_impl::kRecordText, 0, IPC_NOWAIT) == 12 ? 0 : 2;
    });
    EXPECT_EQ(wait_child(receiver), 0);
    EXPECT_EQ(PXR_pending_msgs(4), 0);
    EXPECT_EQ(PXR_lastpid(4), receiver);
}

} // namespace
