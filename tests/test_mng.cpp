// Error and trace events as a management module receives them: header fields, the
// big-endian trace header and the data chosen by the traced record's type.
#include "pxrlib.h"

#include "env/pxr_internal.h"
#include "ipc_test.h"

#include <cstring>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr uint8_t kMgmt = 0x20;

// A record to be traced, with room for whatever layout its type asks for.
struct Record {
    alignas(8) uint8_t bytes[48 + 16 * 16 + 600] = {};
    MSG *msg() { return reinterpret_cast<MSG *>(bytes); }
    template <typename T>
    void put(std::size_t pos, T value) {
        std::memcpy(bytes + pos, &value, sizeof value);
    }
};

std::vector<uint8_t> params(const MSG *m) {
    return {m->param, m->param + m->len};
}
std::vector<uint8_t> bytes_of(const uint8_t *from, std::size_t n) {
    return {from, from + n};
}
std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
uint32_t data_len(const MSG *m) {
    return runpackbytes(m->param, 16, 2);
}
std::vector<uint8_t> data_of(const MSG *m) {
    return bytes_of(m->param + 18, m->len - 18u);
}

std::vector<MSG *> drain(uint8_t module) {
    std::vector<MSG *> got;
    while (MSG *m = PXR_grab(module)) got.push_back(m);
    return got;
}

// Sends one trace event through fn and returns the message the management module gets.
template <typename Fn>
MSG *one_event(Fn fn) {
    EXPECT_EQ(fn(), 0);
    std::vector<MSG *> got = drain(kMgmt);
    EXPECT_EQ(got.size(), 1u);
    return got.empty() ? nullptr : got[0];
}

class MngTest : public pxrtest::IpcTest {
  protected:
    void start(uint32_t size0 = 400, int32_t buffers0 = 8) {
        pxrtest::EnvSpec spec;
        spec.buffers0 = buffers0;
        spec.size0 = size0;
        ASSERT_TRUE(pxrtest::create_running_environment(spec));
        ASSERT_EQ(IPC_create(kMgmt, 1), 0);
    }
    static uint32_t allocated() { return partition_hdr[0]->alloc_count; }
};

TEST_F(MngTest, EventsBuiltInAnotherProcessArriveWithBigEndianHeader) {
    start();
    for (int i = 0; i < 3; ++i) SYS_timer_tick();

    pid_t child = pxrtest::start_child([] {
        PXR_unlink(); // behave like a process that has not attached yet
        Record plain;
        MSG *t = plain.msg();
        t->type = 0x0555;
        t->id = 0xA1B2;
        t->src = 0x31;
        t->dst = 0x32;
        t->status = 0xC4;
        t->info = 0x11223344;
        t->len = 4;
        std::memcpy(t->param, "\xDE\xAD\xBE\xEF", 4);
        Record nodetail = plain;
        nodetail.msg()->type = 0x820E;
        Record classed = plain;
        classed.msg()->msg_class = 1;

        // The congestion test does not attach: a fresh process gets -1.
        if (MNG_trace_event(t, 0x10, kMgmt) != -1) return 1;
        if (MNG_error_event(5, 0x1234, 0x10, kMgmt) != 0) return 2;
        if (MNG_error_event_instance(6, 0x4321, 0x11, kMgmt, 0x777) != 0) return 3;
        if (MNG_trace_event(t, 0x10, kMgmt) != 0) return 4;
        if (MNG_seltrace_event_instance(t, 0x99, 0x12, kMgmt, 0x55) != 0) return 5;
        if (MNG_trace_event_instance(nodetail.msg(), 0x13, kMgmt, 9) != 0) return 6;
        if (MNG_seltrace_event(classed.msg(), 7, 0x14, kMgmt) != 0) return 7;
        return 0;
    });
    ASSERT_EQ(pxrtest::wait_child(child), 0);

    std::vector<MSG *> got = drain(kMgmt);
    ASSERT_EQ(got.size(), 6u);
    for (MSG *m : got) {
        EXPECT_EQ(pxr::slot_of(m)->getmem_pid, child);
        EXPECT_EQ(m->info, 3u); // the tick when it was built
        EXPECT_EQ(m->dst, kMgmt);
        EXPECT_EQ(m->reply_mask, 0);
        EXPECT_EQ(m->msg_class, 0);
    }

    MSG *err = got[0];
    EXPECT_EQ(err->type, 8);
    EXPECT_EQ(err->id, 0x1234);
    EXPECT_EQ(err->src, 0x10);
    EXPECT_EQ(err->status, 5);
    EXPECT_EQ(err->len, 0);
    EXPECT_EQ(err->instance, 0u);
    EXPECT_EQ(got[1]->type, 8);
    EXPECT_EQ(got[1]->id, 0x4321);
    EXPECT_EQ(got[1]->src, 0x11);
    EXPECT_EQ(got[1]->status, 6);
    EXPECT_EQ(got[1]->instance, 0x777u);

    const std::vector<uint8_t> header = {0x31, 0x32, 0xA1, 0xB2, 0x05, 0x55, 0x00, 0xC4,
                                         0x11, 0x22, 0x33, 0x44, 0,    0,    0,    0};
    MSG *tr = got[2];
    EXPECT_EQ(tr->type, 3);
    EXPECT_EQ(tr->id, 0);
    EXPECT_EQ(tr->src, 0x10);
    EXPECT_EQ(tr->status, 0);
    EXPECT_EQ(tr->instance, 0u);
    EXPECT_EQ(tr->len, 22);
    EXPECT_EQ(params(tr), cat(header, {0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF}));

    MSG *sel = got[3];
    EXPECT_EQ(sel->type, 0x0F16);
    EXPECT_EQ(sel->src, 0x12);
    EXPECT_EQ(sel->status, 0x99);
    EXPECT_EQ(sel->instance, 0x55u);
    EXPECT_EQ(params(sel), params(tr));

    // 0x820E: header only, with the traced status and info left out.
    MSG *nd = got[4];
    EXPECT_EQ(nd->type, 3);
    EXPECT_EQ(nd->instance, 9u);
    EXPECT_EQ(params(nd), std::vector<uint8_t>({0x31, 0x32, 0xA1, 0xB2, 0x82, 0x0E, 0, 0, 0, 0, 0,
                                                0, 0, 0, 0, 0, 0, 0}));

    // A record with a class: header with status and info, but no parameter bytes.
    MSG *cl = got[5];
    EXPECT_EQ(cl->type, 0x0F16);
    EXPECT_EQ(cl->status, 7);
    EXPECT_EQ(params(cl), cat(header, {0x00, 0x00}));

    for (MSG *m : got) EXPECT_EQ(relm(m), 0);
    EXPECT_EQ(allocated(), 0u);
}

TEST_F(MngTest, ReferencedRecordCopiesAtMost280Bytes) {
    start();
    std::vector<uint8_t> buffer(1100);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = uint8_t(i * 7);
    Record r;
    r.msg()->type = 0x8001;
    r.msg()->status = 0x42;
    r.put<uint8_t>(21, 5);
    r.put<uint16_t>(24, 1000);
    r.put<const uint8_t *>(32, buffer.data());

    MSG *m = one_event([&] { return MNG_trace_event(r.msg(), 0x01, kMgmt); });
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->len, 298);
    EXPECT_EQ(data_len(m), 280u);
    EXPECT_EQ(m->param[7], 0x42); // status is kept for this type
    EXPECT_EQ(data_of(m), bytes_of(buffer.data() + 5, 280));
    relm(m);

    r.put<uint16_t>(24, 10);
    m = one_event([&] { return MNG_trace_event(r.msg(), 0x01, kMgmt); });
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->len, 28);
    EXPECT_EQ(data_of(m), bytes_of(buffer.data() + 5, 10));
    relm(m);
}

TEST_F(MngTest, SplitRecordChoosesSegmentByTracingModuleAndTrims) {
    start();
    std::vector<uint8_t> first(400), second(400);
    for (int i = 0; i < 400; ++i) {
        first[i] = uint8_t(i);
        second[i] = uint8_t(0x80 ^ i);
    }
    Record r;
    r.msg()->type = 0xC000;
    r.put<const uint8_t *>(24, second.data());
    r.put<const uint8_t *>(32, first.data());
    auto set_ends = [&](uint16_t first_end, uint16_t second_end) {
        r.put<uint16_t>(40, second_end);
        r.put<uint16_t>(42, first_end);
    };
    auto set_segment = [&](int k, uint8_t flags, uint8_t first_start, uint16_t second_start) {
        r.put<uint8_t>(48 + 16 * k, flags);
        r.put<uint8_t>(48 + 16 * k + 1, first_start);
        r.put<uint16_t>(48 + 16 * k + 2, second_start);
    };
    auto traced_by = [&](uint8_t src) {
        return one_event([&] { return MNG_trace_event(r.msg(), src, kMgmt); });
    };
    auto expect_data = [&](MSG *m, std::size_t f0, std::size_t fn, std::size_t s0, std::size_t sn) {
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(data_len(m), fn + sn);
        EXPECT_EQ(m->len, 18 + fn + sn);
        EXPECT_EQ(data_of(m),
                  cat(bytes_of(first.data() + f0, fn), bytes_of(second.data() + s0, sn)));
        relm(m);
    };

    set_ends(30, 50);
    set_segment(3, 0x60, 10, 20); // module 0x4A uses slot 3 and honours both flags
    set_segment(10, 0x60, 0, 0);  // module 0x1A uses slot 10 and ignores them
    set_segment(2, 0x20, 4, 8);   // module 0x22: only the first part is trimmed
    expect_data(traced_by(0x4A), 10, 19, 20, 29);
    expect_data(traced_by(0x1A), 0, 30, 0, 50);
    expect_data(traced_by(0x22), 4, 25, 8, 42);

    set_segment(5, 0, 0, 0);
    set_ends(200, 200);
    expect_data(traced_by(0x05), 0, 200, 0, 80);
    set_ends(300, 200);
    expect_data(traced_by(0x05), 0, 280, 0, 0);

    // A start behind its end gives nothing from that buffer, not a wrapped count.
    set_segment(6, 0, 250, 0);
    set_ends(200, 100);
    expect_data(traced_by(0x06), 0, 0, 0, 100);
    set_segment(1, 0x20, 40, 0); // module 0x71: start == end, then trimmed by one
    set_ends(40, 10);
    expect_data(traced_by(0x71), 0, 0, 0, 10);
}

TEST_F(MngTest, InlineCopyFallsBackTo302Bytes) {
    start(400);
    // A len that cannot be requested in full goes straight to the short request.
    std::vector<uint8_t> huge(PXR_MSG_HEADER_SIZE + 0xFFFF);
    MSG *big = reinterpret_cast<MSG *>(huge.data());
    big->len = 0xFFFF;
    for (std::size_t i = 0; i < 400; ++i) big->param[i] = uint8_t(i * 3);
    MSG *m = one_event([&] { return MNG_trace_event(big, 0x01, kMgmt); });
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->len, 320);
    EXPECT_EQ(data_of(m), bytes_of(big->param, 302));
    relm(m);
    EXPECT_EQ(common_ptr->fatal_code, 0u);

    // A len above the partition: the full request fails (a fatal event), the short one serves.
    big->len = 500;
    m = one_event([&] { return MNG_seltrace_event(big, 1, 0x01, kMgmt); });
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->len, 320);
    EXPECT_EQ(data_len(m), 302u);
    relm(m);
    EXPECT_EQ(common_ptr->fatal_code, 2u);
    EXPECT_EQ(allocated(), 0u);
}

TEST_F(MngTest, CongestionRefusesTracesButNotErrorEvents) {
    start();
    Record r;
    r.msg()->type = 0x0101;
    r.msg()->len = 2;
    partition_hdr[0]->cong_status = 1;
    EXPECT_EQ(MNG_trace_event(r.msg(), 1, kMgmt), -1);
    EXPECT_EQ(MNG_trace_event_instance(r.msg(), 1, kMgmt, 2), -1);
    EXPECT_EQ(MNG_seltrace_event(r.msg(), 3, 1, kMgmt), -1);
    EXPECT_EQ(MNG_seltrace_event_instance(r.msg(), 3, 1, kMgmt, 2), -1);
    EXPECT_EQ(allocated(), 0u);
    EXPECT_EQ(partition_hdr[0]->max_alloc, 0u);
    EXPECT_EQ(PXR_pending_msgs(kMgmt), 0);

    EXPECT_EQ(MNG_error_event(9, 1, 1, kMgmt), 0);
    EXPECT_EQ(PXR_pending_msgs(kMgmt), 1);
}

TEST_F(MngTest, NoBufferResults) {
    start(64); // too small for the fixed 298-byte requests
    Record r;
    r.msg()->type = 0x0101;
    r.msg()->msg_class = 2;
    EXPECT_EQ(MNG_trace_event(r.msg(), 1, kMgmt), 1);
    r.msg()->type = 0x8006;
    EXPECT_EQ(MNG_trace_event(r.msg(), 1, kMgmt), -1);
    EXPECT_EQ(allocated(), 0u);
    EXPECT_EQ(PXR_pending_msgs(kMgmt), 0);
}

TEST_F(MngTest, EventThatCannotBeSentIsReleased) {
    start();
    Record r;
    r.msg()->type = 0x0101;
    EXPECT_EQ(MNG_trace_event(r.msg(), 1, 0x55), 0); // module 0x55 has no queue
    EXPECT_EQ(allocated(), 0u);
    EXPECT_EQ(partition_hdr[0]->max_alloc, 1u);
}

} // namespace
