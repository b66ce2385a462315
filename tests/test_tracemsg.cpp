// Trace lines of messages and buffer slots, on a partition laid out in local memory.
#include "ipc_test.h"

namespace {

using namespace pxrtest;

template <typename Fn>
std::string written(Fn fn) {
    char *buf = nullptr;
    std::size_t size = 0;
    FILE *f = open_memstream(&buf, &size);
    EXPECT_EQ(fn(f), 0);
    fclose(f);
    std::string out(buf, size);
    free(buf);
    return out;
}
std::string line_of(const MSG *m) {
    return written([&](FILE *f) { return trace_msg_file(f, m); });
}

// Partition 0 of three slots of 4 parameter bytes, in local memory (zeroed).
struct LocalPartition {
    PartitionHeader hdr{};
    std::vector<uint8_t> array = std::vector<uint8_t>(3 * (4 + PXR_SLOT_OVERHEAD));
    LocalPartition() {
        hdr.param_size = 4;
        hdr.num_msgs = 3;
        hdr.stride = 4 + PXR_SLOT_OVERHEAD;
        partition_hdr[0] = &hdr;
        partition_msgarray[0] = array.data();
    }
    ~LocalPartition() { partition_hdr[0] = nullptr, partition_msgarray[0] = nullptr; }
    SysMsg *slot(uint32_t i) { return reinterpret_cast<SysMsg *>(&array[i * hdr.stride]); }
};

TEST(TraceMsg, MessageLine) {
    alignas(8) uint8_t bytes[PXR_MSG_HEADER_SIZE + 48] = {};
    MSG *m = reinterpret_cast<MSG *>(bytes);
    *m = MSG{0xC002, 0xFFFF, 0x05, 0xFE, 0xFFFF, 0x77, 0x0A, {}, 0xDEADBEEF, 0x12345, 3, {}};
    std::memcpy(m->param, "\x01\xAB\xFF", 3);
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(trace_msg(m), 0); }),
              "M-I12345-tc002-iffff-f05-dfe-s0a-p(3)01abff\n");
    m->len = 0;
    EXPECT_EQ(line_of(m), "M-I12345-tc002-iffff-f05-dfe-s0a\n");
    // Outside every partition, len is taken at its word.
    m->len = 40;
    std::memset(m->param, 0x5A, 40);
    std::string hex;
    for (int i = 0; i < 40; ++i) hex += "5a";
    EXPECT_EQ(line_of(m), "M-I12345-tc002-iffff-f05-dfe-s0a-p(40)" + hex + "\n");
}

TEST(TraceMsg, BufferLine) {
    LocalPartition part;
    SysMsg *s = part.slot(2);
    *s = SysMsg{2, 0, 1, 101, 102, 103, 104, PXR_NO_INDEX, 0, 7, PXR_FRONT_GUARD};
    *pxr_impl::rear_guard_of(s, part.hdr.stride) = PXR_REAR_GUARD;
    MSG *m = pxr_impl::msg_of(s);
    *m = MSG{1, 1, 0x05, 0xFE, 0, 0, 1, {}, 0, 0, 300, {}};
    std::memcpy(m->param, "\x10\x20\x30\x40", 4);
    // The pids print in the order getmem, relmem, send, receive; a len beyond the
    // partition's parameter size stops at the end of the slot's parameters.
    EXPECT_EQ(written([&](FILE *f) { return trace_partition_sysmsg_file(f, s, 0); }),
              "SYSMSG: index 2 MI2-P00-A1-GP101-RP102-SP104-RP103-NI-1-NPI0-GMC7-FGf0124321-"
              "RGccddbb11-M-I0000-t0001-i0001-f05-dfe-s01-p(300)10203040\n");
    EXPECT_EQ(trace_partition_sysmsg_file(nullptr, s, 0), -1);

    m->type = 0xC002, m->len = 0;
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(trace_partition_sysmsg(s, 0), 0); }), "");
    *pxr_impl::rear_guard_of(s, part.hdr.stride) = 0x1234;
    s->next = 0;
    EXPECT_EQ(capture_stdout([&] { trace_partition_sysmsg(s, 1); }),
              "SYSMSG: index 2 MI2-P00-A1-GP101-RP102-SP104-RP103-NI0-NPI0-GMC7-FGf0124321-"
              "RG00001234-M-I0000-tc002-i0001-f05-dfe-s01\n");
}

} // namespace
