// Error and trace events as a management module receives them.
#include "ipc_test.h"

namespace {

using namespace pxrtest;

constexpr uint8_t kMgmt = 0x20;
using Bytes = std::vector<uint8_t>;

// A record to be traced, with room for the layouts of types 0x8001 and 0xC000.
struct Record {
    alignas(8) uint8_t bytes[48 + 16 * 16] = {};
    MSG *msg() { return reinterpret_cast<MSG *>(bytes); }
    template <typename T>
    void put(std::size_t pos, T value) {
        std::memcpy(bytes + pos, &value, sizeof value);
    }
};

Bytes bytes_of(const uint8_t *from, std::size_t n) {
    return {from, from + n};
}
Bytes cat(Bytes a, const Bytes &b) {
    return a.insert(a.end(), b.begin(), b.end()), a;
}

// Builds one event with fn and returns its data as the management module receives it.
template <typename Fn>
Bytes event_data(Fn fn) {
    EXPECT_EQ(fn(), 0);
    MSG *m = PXR_grab(kMgmt);
    if (m == nullptr) return {0xBA, 0xD0};
    EXPECT_EQ(runpackbytes(m->param, 16, 2) + 18, m->len);
    Bytes data = bytes_of(m->param + 18, m->len - 18u);
    relm(m);
    return data;
}

class MngTest : public IpcTest {
  protected:
    void start(uint32_t size0 = 400) {
        ASSERT_TRUE(create_running_environment({.size0 = size0}));
        ASSERT_EQ(IPC_create(kMgmt, 1), 0);
    }
};

TEST_F(MngTest, EventsFromAnotherProcess) {
    start();
    for (int i = 0; i < 3; ++i) SYS_timer_tick();
    pid_t child = start_child([] {
        PXR_unlink();
        Record plain, nodetail, classed;
        *plain.msg() = MSG{0x0555, 0xA1B2, 0x31, 0x32, 0, 0, 0xC4, {}, 0x11223344, 0, 4, {}};
        std::memcpy(plain.msg()->param, "\xDE\xAD\xBE\xEF", 4);
        nodetail = classed = plain;
        nodetail.msg()->type = 0x820E;
        classed.msg()->msg_class = 1;
        // The congestion test does not attach, so a process not yet attached gets -1.
        return (MNG_trace_event(plain.msg(), 0x10, kMgmt) != -1) * 1 +
               (MNG_error_event(5, 0x1234, 0x10, kMgmt) != 0) * 2 +
               (MNG_error_event_instance(6, 0x4321, 0x11, kMgmt, 0x777) != 0) * 4 +
               (MNG_trace_event(plain.msg(), 0x10, kMgmt) != 0) * 8 +
               (MNG_seltrace_event_instance(plain.msg(), 0x99, 0x12, kMgmt, 0x55) != 0) * 16 +
               (MNG_trace_event_instance(nodetail.msg(), 0x13, kMgmt, 9) != 0) * 32 +
               (MNG_seltrace_event(classed.msg(), 7, 0x14, kMgmt) != 0) * 64;
    });
    ASSERT_EQ(wait_child(child), 0);

    struct Want {
        uint16_t type, id;
        uint8_t src, status;
        uint32_t instance;
        Bytes param;
    };
    const Bytes head = {0x31, 0x32, 0xA1, 0xB2, 0x05, 0x55, 0, 0xC4,
                        0x11, 0x22, 0x33, 0x44, 0,    0,    0, 0};
    const Want want[] = {
        {8, 0x1234, 0x10, 5, 0, {}},
        {8, 0x4321, 0x11, 6, 0x777, {}},
        {3, 0, 0x10, 0, 0, cat(head, {0, 4, 0xDE, 0xAD, 0xBE, 0xEF})},
        {0x0F16, 0, 0x12, 0x99, 0x55, cat(head, {0, 4, 0xDE, 0xAD, 0xBE, 0xEF})},
        {3, 0, 0x13, 0, 9, cat({0x31, 0x32, 0xA1, 0xB2, 0x82, 0x0E}, Bytes(12, 0))},
        {0x0F16, 0, 0x14, 7, 0, cat(head, {0, 0})},
    };
    for (const Want &w : want) {
        MSG *m = PXR_grab(kMgmt);
        ASSERT_NE(m, nullptr);
        // info: the tick when it was built.
        EXPECT_EQ(
            std::tuple(pxr_impl::slot_of(m)->getmem_pid, m->type, m->id, m->src, m->dst, m->status,
                       m->reply_mask | m->msg_class, m->info, m->instance,
                       bytes_of(m->param, m->len)),
            std::tuple(child, w.type, w.id, w.src, kMgmt, w.status, 0, 3u, w.instance, w.param));
        relm(m);
    }
    EXPECT_EQ(PXR_grab(kMgmt), nullptr);
}

TEST_F(MngTest, ReferencedAndSplitRecords) {
    start();
    Bytes first(1100), second(400);
    for (std::size_t i = 0; i < first.size(); ++i)
        first[i] = uint8_t(i * 7), second[i % 400] = uint8_t(i ^ 0x80);

    Record ref; // type 0x8001: 280 bytes at most, from offset byte 21 of the pointer at 32
    ref.msg()->type = 0x8001;
    ref.put<uint8_t>(21, 5);
    ref.put<uint16_t>(24, 1000);
    ref.put<const uint8_t *>(32, first.data());
    EXPECT_EQ(event_data([&] { return MNG_trace_event(ref.msg(), 1, kMgmt); }),
              bytes_of(&first[5], 280));

    Record split;
    split.msg()->type = 0xC000;
    split.put<const uint8_t *>(24, second.data());
    split.put<const uint8_t *>(32, first.data());
    auto segment = [&](int k, uint8_t flags, uint8_t first_start, uint16_t second_start) {
        split.put<uint8_t>(48 + 16 * k, flags);
        split.put<uint8_t>(48 + 16 * k + 1, first_start);
        split.put<uint16_t>(48 + 16 * k + 2, second_start);
    };
    segment(3, 0x60, 10, 20); // module 0x4A: slot 3, both flags trim one byte
    segment(10, 0x60, 0, 0);  // module 0x1A: slot 10, flags ignored
    segment(2, 0x20, 4, 8);   // module 0x22: only the first part trimmed
    struct {
        uint8_t src;
        uint16_t first_end, second_end;
        std::size_t f0, fn, s0, sn;
    } cases[] = {{0x4A, 30, 50, 10, 19, 20, 29}, {0x1A, 30, 50, 0, 30, 0, 50},
                 {0x22, 30, 50, 4, 25, 8, 42},   {0x05, 200, 200, 0, 200, 0, 80},
                 {0x05, 300, 200, 0, 280, 0, 0}, {0x71, 40, 10, 0, 0, 0, 10}};
    for (auto &c : cases) {
        // A start behind its end (here after trimming) gives no bytes from that buffer.
        if (c.src == 0x71) segment(1, 0x20, 40, 0);
        split.put<uint16_t>(40, c.second_end);
        split.put<uint16_t>(42, c.first_end);
        EXPECT_EQ(event_data([&] { return MNG_trace_event(split.msg(), c.src, kMgmt); }),
                  cat(bytes_of(&first[c.f0], c.fn), bytes_of(&second[c.s0], c.sn)))
            << int(c.src) << "/" << c.first_end;
    }
}

TEST_F(MngTest, InlineCopyFallsBackTo302Bytes) {
    start();
    Bytes record(PXR_MSG_HEADER_SIZE + 0xFFFF);
    MSG *big = reinterpret_cast<MSG *>(record.data());
    for (int i = 0; i < 302; ++i) big->param[i] = uint8_t(i * 3);
    // A request too long for 16 bits or for every partition (fatal 2): the short one serves.
    for (const auto &[len, fatal] : {std::pair{0xFFFF, 0u}, {500, 2u}}) {
        big->len = uint16_t(len);
        EXPECT_EQ(event_data([&] { return MNG_trace_event(big, 1, kMgmt); }),
                  bytes_of(big->param, 302));
        EXPECT_EQ(common_ptr->fatal_code, fatal);
    }
    EXPECT_EQ(partition_hdr[0]->out_of_msg, 0u);
    EXPECT_TRUE(common_ptr->flags & CA_RUNNING);
}

TEST_F(MngTest, RefusalsAllocateNothing) {
    start(64); // too small for the fixed 298-byte requests
    Record r;
    r.msg()->msg_class = 2;
    EXPECT_EQ(MNG_trace_event(r.msg(), 1, kMgmt), 1);
    r.msg()->type = 0x8006;
    EXPECT_EQ(MNG_trace_event(r.msg(), 1, kMgmt), -1);

    r.msg()->type = 0x0101, r.msg()->msg_class = 0;
    partition_hdr[0]->cong_status = 1;
    EXPECT_EQ(MNG_trace_event(r.msg(), 1, kMgmt), -1);
    EXPECT_EQ(MNG_seltrace_event_instance(r.msg(), 3, 1, kMgmt, 2), -1);
    EXPECT_EQ(partition_hdr[0]->max_alloc, 0u);
    EXPECT_EQ(MNG_error_event(9, 1, 1, kMgmt), 0); // error events still go
    EXPECT_EQ(PXR_pending_msgs(kMgmt), 1);

    // An event that cannot be sent is released.
    EXPECT_EQ(MNG_error_event(9, 1, 1, 0x55), 0);
    EXPECT_EQ(partition_hdr[0]->alloc_count, 1u);
}

} // namespace
