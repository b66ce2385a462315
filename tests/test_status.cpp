// The status report and the allocated-message list, checked as whole texts; clock values
// are masked, zero timestamps are kept.
#include "pxrlib.h"

#include "env/pxr_internal.h"
#include "ipc_test.h"

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using pxrtest::capture_stdout;

// Real clock readings become "T"; a never-written timestamp (year 0) stays as printed.
std::string mask_clock(const std::string &text) {
    static const std::regex stamp(R"((19|20)\d\d-\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d)");
    return std::regex_replace(text, stamp, "T");
}

std::string status_text() {
    return mask_clock(capture_stdout([] { EXPECT_EQ(PXR_get_status(), 0u); }));
}

std::string block_line(const char *label, long value) {
    char buf[96];
    snprintf(buf, sizeof buf, "    %-24s%ld\n", label, value);
    return buf;
}

class StatusTest : public pxrtest::IpcTest {};

TEST_F(StatusTest, LockedFormReportWithPartitionOneAbsent) {
    pxrtest::EnvSpec spec;
    spec.congestion_module = 16;
    spec.buffers0 = 4;
    spec.size0 = 64;
    ASSERT_TRUE(pxrtest::create_running_environment(spec));

    std::vector<MSG *> held;
    for (int i = 0; i < 4; ++i) {
        uint32_t size = 10;
        MSG *m = PXR_getmem(0, &size);
        ASSERT_NE(m, nullptr);
        held.push_back(m);
    }
    uint32_t size = 10;
    EXPECT_EQ(PXR_getmem(0, &size), nullptr); // counted as out of MSG

    const std::string expected = "\nVUVEVOV System status:      T\n\n"
                                 "  System restart time:      T\n"
                                 "  Congestion module Id:     0x10\n"
                                 "  PXRLIB version:           6.8.18 (Build 1312)\n"
                                 "  Internal system error:    0\n"
                                 "  PXRLIB Atomic:            Disabled\n"
                                 "  Partition[0]\n"
                                 "    Parameter size:         64\n"
                                 "    MSGs in partition:      4\n"
                                 "    MSGs allocated :        4\n"
                                 "    MSGs free:              0\n"
                                 "    Maximum MSGs allocated: 4\n"
                                 "    Max alloc since reset:  4\n"
                                 "    Time of last max:       T\n"
                                 "    Out of MSG count:       1\n"
                                 "    Congestion onset:       0\n"
                                 "    Congestion abate:       0\n"
                                 "    Congestion status:      0\n"
                                 "    Congestion count:       0\n"
                                 "    Cong count since reset: 0\n"
                                 "    Last congestion onset:  0000-00-00 00:00:00.000\n"
                                 "  Partition[1] - Not defined.\n";
    EXPECT_EQ(status_text(), expected);

    // The free count is the length of the list, walked under the lock.
    EXPECT_EQ(PXR_relmem(0, held[1]), 0u);
    EXPECT_EQ(PXR_relmem(0, held[3]), 0u);
    common_ptr->internal_errors = 3;
    partition_hdr[0]->cong_onset_time = Timestamp{1999, 1, 2, 3, 4, 5, 999999};
    std::string text = status_text();
    EXPECT_NE(text.find(block_line("MSGs allocated :", 2)), std::string::npos) << text;
    EXPECT_NE(text.find(block_line("MSGs free:", 2)), std::string::npos) << text;
    EXPECT_NE(text.find(block_line("Maximum MSGs allocated:", 4)), std::string::npos) << text;
    EXPECT_NE(text.find("  Internal system error:    3\n"), std::string::npos) << text;
    // A recorded time prints its milliseconds truncated.
    std::string raw = capture_stdout([] { PXR_get_status(); });
    EXPECT_NE(raw.find("    Last congestion onset:  1999-01-02 03:04:05.999\n"), std::string::npos)
        << raw;
}

TEST_F(StatusTest, AtomicFormCountsFreeAsBuffersMinusAllocated) {
    pxrtest::EnvSpec spec;
    spec.init_flags = PXR_INIT_ATOMIC;
    spec.buffers0 = 100;
    spec.size0 = 32;
    spec.buffers1 = 2;
    spec.size1 = 200;
    ASSERT_TRUE(pxrtest::create_running_environment(spec));

    std::string text = status_text();
    EXPECT_NE(text.find("  PXRLIB Atomic:            Enabled\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  Congestion module Id:     0x0\n"), std::string::npos) << text;
    // A fresh atomic partition counts the buffer that always stays on the list.
    EXPECT_NE(text.find("  Partition[0]\n" + block_line("Parameter size:", 32) +
                        block_line("MSGs in partition:", 100) + block_line("MSGs allocated :", 0) +
                        block_line("MSGs free:", 100)),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  Partition[1]\n" + block_line("Parameter size:", 200) +
                        block_line("MSGs in partition:", 2) + block_line("MSGs allocated :", 0) +
                        block_line("MSGs free:", 2)),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Not defined"), std::string::npos);

    for (int i = 0; i < 3; ++i) {
        uint32_t size = 8;
        ASSERT_NE(PXR_getmem(0, &size), nullptr);
    }
    text = status_text();
    EXPECT_NE(text.find(block_line("MSGs allocated :", 3) + block_line("MSGs free:", 97)),
              std::string::npos)
        << text;
}

TEST_F(StatusTest, WithoutEnvironmentOnlyTitleAndNotice) {
    PXR_unlink();
    EXPECT_EQ(status_text(), "\nVUVEVOV System status:      T\n\n  Environment not available.\n");
    EXPECT_EQ(common_ptr, nullptr);
}

TEST_F(StatusTest, ShowMsgsListsAllocatedBuffersOfBothPartitions) {
    const std::string title = "\nVUVEVOV Allocated MSGs:     T\n\n";
    // Not attached: the title alone.
    PXR_unlink();
    EXPECT_EQ(mask_clock(capture_stdout([] { EXPECT_EQ(PXR_show_msgs(), 0u); })), title);

    pxrtest::EnvSpec spec;
    spec.buffers0 = 8;
    spec.size0 = 16;
    spec.buffers1 = 2;
    spec.size1 = 128;
    ASSERT_TRUE(pxrtest::create_running_environment(spec));
    EXPECT_EQ(mask_clock(capture_stdout([] { PXR_show_msgs(); })), title);

    MSG *a = getm(0x0003, 0x11, 0, 3);
    ASSERT_NE(a, nullptr);
    a->src = 0x22;
    a->dst = 0x23;
    a->param[0] = 0x01;
    a->param[1] = 0xAB;
    a->param[2] = 0xFF;
    MSG *hidden = getm(0xC002, 0, 0, 0);
    ASSERT_NE(hidden, nullptr);
    MSG *released = getm(0x0007, 0, 0, 0);
    ASSERT_NE(released, nullptr);
    ASSERT_EQ(relm(released), 0);
    MSG *b = getm(0x0104, 0x0203, 0, 100);
    ASSERT_NE(b, nullptr);
    b->src = 0x01;
    b->dst = 0x02;
    std::string hex;
    for (int i = 0; i < 100; ++i) {
        b->param[i] = uint8_t(i);
        char two[3];
        snprintf(two, sizeof two, "%02x", i);
        hex += two;
    }
    PXR_set_instance(0xABCDE, b);

    EXPECT_EQ(mask_clock(capture_stdout([] { EXPECT_EQ(PXR_show_msgs(), 0u); })),
              title + "M-I0000-t0003-i0011-f22-d23-s00-p(3)01abff\n" +
                  "M-Iabcde-t0104-i0203-f01-d02-s00-p(100)" + hex + "\n");
}

} // namespace
