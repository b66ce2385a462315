// Hostile input: forged queue records, overlong and binary configuration text, malformed
// number text, and message lengths beyond the buffer.
#include "ipc_test.h"

#include "check.h"
#include "config.h"
#include "env/pxr_internal.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/msg.h>
#include <vector>

namespace {

constexpr uint32_t kQueue = 10;
constexpr int32_t kBuffers = 16;

class HostileTest : public pxrtest::IpcTest {};

// A raw queue record put by a foreign process that knows only the key.
int forge(long mtype, const void *text, size_t len) {
    return pxrtest::run_child([=] {
        PXR_unlink();
        int q = msgget(pxr::kModuleQueueKey + int(kQueue), 0);
        struct {
            long mtype;
            uint8_t text[64];
        } r{mtype, {}};
        std::memcpy(r.text, text, len);
        return q >= 0 && msgsnd(q, &r, len, IPC_NOWAIT) == 0 ? 0 : 1;
    });
}

int forge_ref(uint16_t index, uint16_t partition) {
    uint8_t text[12] = {};
    std::memcpy(text, &index, 2);
    std::memcpy(text + 2, &partition, 2);
    return forge(1, text, sizeof text);
}

std::vector<int32_t> receive_stamps() {
    std::vector<int32_t> v;
    for (int32_t i = 0; i < kBuffers; ++i) v.push_back(pxr::slot_at(0, uint32_t(i))->receive_pid);
    return v;
}

TEST_F(HostileTest, ForgedRecordsAreDroppedAndTheReceiverGoesOn) {
    pxrtest::EnvSpec layout;
    layout.buffers0 = kBuffers;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    ASSERT_EQ(IPC_create(kQueue, 1), 0);
    const std::vector<int32_t> before = receive_stamps();

    // Too short, a partition that does not exist or is not created, an index too large.
    const uint8_t shorter[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(forge(1, shorter, sizeof shorter), 0);
    ASSERT_EQ(forge(1, shorter, 0), 0);
    const uint16_t bad[][2] = {{0, 2}, {0, 0xFFFF}, {0, 1}, {kBuffers, 0}, {0xFFFF, 0}};
    for (const auto &b : bad) ASSERT_EQ(forge_ref(b[0], b[1]), 0);
    const int forged = 2 + int(std::size(bad));
    ASSERT_EQ(PXR_pending_msgs(kQueue), forged);
    for (int i = 0; i < forged; ++i) EXPECT_EQ(PXR_grab(kQueue), nullptr) << "record " << i;
    EXPECT_EQ(PXR_pending_msgs(kQueue), 0);
    EXPECT_EQ(PXR_sys_failure, 0);
    EXPECT_EQ(receive_stamps(), before) << "a dropped record wrote into a buffer";

    MSG *m = getm(0x100, 42, 0, 4);
    ASSERT_NE(m, nullptr);
    std::memcpy(m->param, "ok!", 4);
    ASSERT_EQ(PXR_send(kQueue, m), 0);
    MSG *got = PXR_grab(kQueue);
    ASSERT_EQ(got, m);
    EXPECT_EQ(got->id, 42);
    EXPECT_EQ(relm(got), 0);

    // A forged reference to a real buffer cannot be told from a genuine one; the buffer was
    // free, so the receiver's release is refused and the free list stays intact.
    ASSERT_EQ(forge_ref(5, 0), 0);
    MSG *ghost = PXR_grab(kQueue);
    ASSERT_NE(ghost, nullptr);
    EXPECT_EQ(pxr::slot_of(ghost)->index, 5u);
    EXPECT_EQ(relm(ghost), 1);

    pxrtool::EnvironmentCheck env;
    EXPECT_EQ(pxrtool::check_environment(env), 0);
    EXPECT_EQ(env.queued_records, 0u);
}

// A record longer than 12 bytes is not cut: the receive fails for good (detach, failure flag)
// and the record stays at the head of the queue until the queue is removed (see the
// PXR_IPC_MODE build option).
TEST_F(HostileTest, OverlongRecordBlocksTheQueue) {
    pxrtest::EnvSpec layout;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    ASSERT_EQ(IPC_create(kQueue, 1), 0);
    const uint8_t longer[16] = {};
    ASSERT_EQ(forge(1, longer, sizeof longer), 0);
    MSG *m = getm(0x100, 1, 0, 0);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(PXR_send(kQueue, m), 0);

    EXPECT_EQ(PXR_grab(kQueue), nullptr);
    EXPECT_EQ(PXR_sys_failure, 1);
    EXPECT_EQ(common_ptr, nullptr);
    EXPECT_EQ(PXR_grab(kQueue), nullptr); // attaches again, and fails again
    EXPECT_EQ(PXR_sys_failure, 1);
    ASSERT_EQ(PXR_link(), 0);
    EXPECT_EQ(PXR_pending_msgs(kQueue), 2);
    pxrtool::EnvironmentCheck env;
    EXPECT_EQ(pxrtool::check_environment(env), 0); // the stuck message's buffer is accounted
    EXPECT_EQ(env.partitions[0].allocated, 1u);
}

TEST_F(HostileTest, MalformedConfigurationFiles) {
    std::vector<std::string> texts = {
        std::string(100000, 'x'),
        "partition 0 buffers=99999999999999999999 size=0x1ffffffff\n",
        "partition 7 buffers=-1 size=\n queue 300 -1 0x\n alias 1\n spawn\n",
        "\"unterminated\nqueue \"1\" 2\n",
    };
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary += char((i * 131 + 7) & 0xFF);
    texts.push_back(binary);
    for (const std::string &t : texts) {
        pxrtool::Config cfg;
        std::vector<std::string> errors;
        EXPECT_FALSE(pxrtool::parse_config(t, "hostile", cfg, errors));
        EXPECT_FALSE(errors.empty());
    }
    // NUL bytes separate words like blanks do (the tokenizer's rule), so this one is valid.
    pxrtool::Config cfg;
    std::vector<std::string> errors;
    EXPECT_TRUE(pxrtool::parse_config(
        std::string("environment\0atomic\npartition 0 buffers=4 size=8\n", 48), "nul", cfg,
        errors));
    EXPECT_TRUE(cfg.atomic());
}

// A len beyond the parameter size: the trace and the listing print only the buffer's bytes.
TEST_F(HostileTest, LengthBeyondTheParameterSize) {
    pxrtest::EnvSpec layout;
    layout.buffers0 = 2;
    layout.size0 = 16;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    MSG *first = getm(0x100, 0, 0, 16);
    MSG *last = getm(0x100, 0, 0, 16); // the last slot of the array
    ASSERT_TRUE(first && last);
    std::memset(first->param, 0xAB, 16);
    std::memset(last->param, 0xCD, 16);
    first->len = 0xFFFF;
    last->len = 40;
    std::string ab, cd;
    for (int i = 0; i < 16; ++i) ab += "ab", cd += "cd";
    const std::string line = pxrtest::capture_stdout([&] { trace_msg(last); });
    EXPECT_EQ(line, "M-I0000-t0100-i0000-f00-d00-s00-p(40)" + cd + "\n");
    const std::string listing = pxrtest::capture_stdout([] { PXR_show_msgs(); });
    EXPECT_NE(listing.find("-p(65535)" + ab + "\n"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("abcd"), std::string::npos) << "read into the next slot";
    first->len = last->len = 0;
    relm(first);
    relm(last);
}

} // namespace
