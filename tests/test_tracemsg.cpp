// Trace lines of messages and buffer slots, checked byte for byte on records laid out in
// local memory (a partition is simulated by pointing partition_hdr/msgarray at it).
#include "pxrlib.h"

#include "env/pxr_internal.h"
#include "ipc_test.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string line_of(const MSG *msg) {
    char *buf = nullptr;
    std::size_t size = 0;
    FILE *f = open_memstream(&buf, &size);
    EXPECT_EQ(trace_msg_file(f, msg), 0);
    fclose(f);
    std::string out(buf, size);
    free(buf);
    return out;
}

std::string slot_line(const SysMsg *slot, uint32_t show_all) {
    char *buf = nullptr;
    std::size_t size = 0;
    FILE *f = open_memstream(&buf, &size);
    EXPECT_EQ(trace_partition_sysmsg_file(f, slot, show_all), 0);
    fclose(f);
    std::string out(buf, size);
    free(buf);
    return out;
}

// A MSG record with room for its parameters, outside any partition.
struct LocalMsg {
    alignas(8) uint8_t bytes[PXR_MSG_HEADER_SIZE + 64] = {};
    MSG *msg() { return reinterpret_cast<MSG *>(bytes); }
};

// A partition of a few slots in local memory, installed as partition p of this process.
class LocalPartition {
  public:
    LocalPartition(int p, int32_t count, uint32_t param_size) : p_(p) {
        hdr_.param_size = param_size;
        hdr_.num_msgs = count;
        hdr_.stride = param_size + PXR_SLOT_OVERHEAD;
        array_.assign(std::size_t(count) * hdr_.stride + 8, 0);
        for (int32_t i = 0; i < count; ++i) {
            SysMsg *s = slot(uint32_t(i));
            s->index = uint32_t(i);
            s->partition = p;
            s->next = PXR_NO_INDEX;
            s->front_guard = PXR_FRONT_GUARD;
            *pxr::rear_guard_of(s, hdr_.stride) = PXR_REAR_GUARD;
        }
        partition_hdr[p] = &hdr_;
        partition_msgarray[p] = array_.data();
    }
    ~LocalPartition() {
        partition_hdr[p_] = nullptr;
        partition_msgarray[p_] = nullptr;
    }
    SysMsg *slot(uint32_t i) {
        return reinterpret_cast<SysMsg *>(array_.data() + std::size_t(i) * hdr_.stride);
    }
    MSG *msg(uint32_t i) { return pxr::msg_of(slot(i)); }

  private:
    int p_;
    PartitionHeader hdr_{};
    std::vector<uint8_t> array_;
};

TEST(TraceMsg, MessageLineFormats) {
    LocalMsg m;
    MSG *msg = m.msg();
    msg->type = 0x0003;
    msg->src = 0x22;
    msg->dst = 0x23;
    msg->len = 3;
    msg->param[0] = 0x01;
    msg->param[1] = 0xAB;
    msg->param[2] = 0xFF;
    // Fields that never appear in the line.
    msg->reply_mask = 0xFFFF;
    msg->msg_class = 0x77;
    msg->info = 0xDEADBEEF;
    EXPECT_EQ(line_of(msg), "M-I0000-t0003-i0000-f22-d23-s00-p(3)01abff\n");

    PXR_set_instance(0x12345, msg);
    msg->type = 0xC002;
    msg->id = 0xFFFF;
    msg->status = 0x0A;
    msg->len = 1;
    msg->param[0] = 0x0A;
    EXPECT_EQ(line_of(msg), "M-I12345-tc002-iffff-f22-d23-s0a-p(1)0a\n");

    msg->len = 0;
    EXPECT_EQ(line_of(msg), "M-I12345-tc002-iffff-f22-d23-s0a\n");

    // trace_msg writes the same line on standard output.
    msg->len = 2;
    std::string out = pxrtest::capture_stdout([&] { EXPECT_EQ(trace_msg(msg), 0); });
    EXPECT_EQ(out, "M-I12345-tc002-iffff-f22-d23-s0a-p(2)0aab\n");
}

TEST(TraceMsg, BufferLineShowsSystemHeaderAndGuards) {
    LocalPartition part(1, 3, 16);
    SysMsg *s = part.slot(2);
    s->allocated = 1;
    s->getmem_pid = 101;
    s->relmem_pid = 102;
    s->receive_pid = 103;
    s->send_pid = 104;
    s->getmem_count = 7;
    MSG *msg = part.msg(2);
    msg->type = 1;
    msg->id = 1;
    msg->src = 0x05;
    msg->dst = 0xFE;
    msg->status = 1;
    EXPECT_EQ(slot_line(s, 0), "SYSMSG: index 2 MI2-P01-A1-GP101-RP102-SP104-RP103-"
                               "NI-1-NPI0-GMC7-FGf0124321-RGccddbb11-"
                               "M-I0000-t0001-i0001-f05-dfe-s01\n");

    // On the free list: allocated 0 and a real successor.
    s->allocated = 0;
    s->next = 0;
    std::string out = pxrtest::capture_stdout([&] { EXPECT_EQ(trace_partition_sysmsg(s, 0), 0); });
    EXPECT_NE(out.find("-A0-"), std::string::npos) << out;
    EXPECT_NE(out.find("-NI0-NPI0-"), std::string::npos) << out;

    // The rear guard is read from the end of the slot, wherever the stride puts it.
    *pxr::rear_guard_of(s, 16 + PXR_SLOT_OVERHEAD) = 0x1234;
    EXPECT_NE(slot_line(s, 0).find("-RG00001234-M-I"), std::string::npos);
}

TEST(TraceMsg, SlotsOfTypeC002AreShownOnlyOnRequest) {
    LocalPartition part(0, 1, 8);
    part.msg(0)->type = 0xC002;
    EXPECT_EQ(slot_line(part.slot(0), 0), "");
    EXPECT_EQ(pxrtest::capture_stdout([&] { trace_partition_sysmsg(part.slot(0), 0); }), "");
    std::string line = slot_line(part.slot(0), 1);
    EXPECT_EQ(line.rfind("SYSMSG: index 0 MI0-P00-A0-", 0), 0u) << line;
    EXPECT_NE(line.find("-M-I0000-tc002-"), std::string::npos) << line;
}

TEST(TraceMsg, MalformedLengthInsidePartitionIsCutAtParameterSize) {
    LocalPartition part(0, 2, 4);
    MSG *msg = part.msg(0);
    msg->len = 300;
    std::memcpy(msg->param, "\x10\x20\x30\x40", 4);
    // The following slot must not leak into the line.
    part.slot(1)->index = 0xAAAAAAAA;
    EXPECT_EQ(line_of(msg), "M-I0000-t0000-i0000-f00-d00-s00-p(300)10203040\n");

    // A MSG that does not live in a partition is printed with all the bytes len names.
    LocalMsg m;
    m.msg()->len = 40;
    std::memset(m.msg()->param, 0x5A, 40);
    std::string hex;
    for (int i = 0; i < 40; ++i) hex += "5a";
    EXPECT_EQ(line_of(m.msg()), "M-I0000-t0000-i0000-f00-d00-s00-p(40)" + hex + "\n");
}

} // namespace
