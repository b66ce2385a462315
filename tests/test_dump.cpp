// Memory and text dump files.
#include "ipc_test.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Every case works in a directory of its own, since the file names depend only on the minute.
class Dump : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/pxrdump-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        PXR_dump_close();
        ASSERT_EQ(chdir("/"), 0);
        ASSERT_EQ(std::system(("rm -rf " + dir_).c_str()), 0);
    }
    static std::string name(const char *fmt, const Timestamp &t) {
        char buf[64];
        std::snprintf(buf, sizeof buf, fmt, int(t.day), int(t.month), int(t.year), int(t.hour),
                      int(t.minute));
        return buf;
    }
    static long file_size(const std::string &path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
    }
    std::string dir_;
};

} // namespace

TEST_F(Dump, WriteThenReadBlocks) {
    Timestamp before{}, after{};
    PLAT_timestamp(&before);
    ASSERT_EQ(PXR_dump_create(), 0);
    PLAT_timestamp(&after);
    ASSERT_NE(mdump_handle, nullptr);
    ASSERT_NE(tdump_handle, nullptr);
    std::fputs("report\n", tdump_handle);

    unsigned char a[16], b[4], c[100];
    for (int i = 0; i < 100; ++i) c[i] = (unsigned char)(i * 7);
    for (int i = 0; i < 16; ++i) a[i] = (unsigned char)(0xA0 + i);
    for (int i = 0; i < 4; ++i) b[i] = (unsigned char)(0x10 + i);
    EXPECT_EQ(PXR_dump_write_memory(a, 16), 0);
    EXPECT_EQ(PXR_dump_write_memory(b, 4), 0);
    EXPECT_EQ(PXR_dump_write_memory(c, 100), 0);
    EXPECT_EQ(PXR_dump_write_memory(c, 0), 1);
    EXPECT_EQ(PXR_dump_close(), 0);
    EXPECT_EQ(mdump_handle, nullptr);
    EXPECT_EQ(tdump_handle, nullptr);
    EXPECT_EQ(PXR_dump_close(), 0); // nothing left to close

    // The clock may have passed a minute boundary during the create.
    std::string mem = name("pxrmem_%02d%02d%04d_%02d%02d.bin", before);
    std::string text = name("pxrdump_%02d%02d%04d_%02d%02d.txt", before);
    if (file_size(mem) < 0) {
        mem = name("pxrmem_%02d%02d%04d_%02d%02d.bin", after);
        text = name("pxrdump_%02d%02d%04d_%02d%02d.txt", after);
    }
    EXPECT_EQ(file_size(mem), 120);
    EXPECT_EQ(file_size(text), 7);

    ASSERT_EQ(PXR_dump_open(mem.c_str()), 0);
    EXPECT_EQ(tdump_handle, nullptr);
    unsigned char ra[16], rb[4], rc[100];
    EXPECT_EQ(PXR_dump_read_memory(ra, 16), 0);
    EXPECT_EQ(PXR_dump_read_memory(rb, 4), 0);
    EXPECT_EQ(PXR_dump_read_memory(rc, 100), 0);
    EXPECT_EQ(std::memcmp(ra, a, 16), 0);
    EXPECT_EQ(std::memcmp(rb, b, 4), 0);
    EXPECT_EQ(std::memcmp(rc, c, 100), 0);
    std::string err = pxrtest::capture_stderr([&] {
        EXPECT_EQ(PXR_dump_read_memory(ra, 1), 1);
        EXPECT_EQ(PXR_dump_read_memory(ra, 0), 1);
    });
    EXPECT_EQ(err.rfind("fread", 0), 0u) << err;
    EXPECT_EQ(PXR_dump_close(), 0);
}

TEST_F(Dump, FailuresWithoutAnOpenDump) {
    unsigned char buf[8] = {};
    EXPECT_EQ(PXR_dump_write_memory(buf, 8), 1);
    std::string err = pxrtest::capture_stderr([&] {
        EXPECT_EQ(PXR_dump_read_memory(buf, 8), 1);
        EXPECT_EQ(PXR_dump_open("no/such/file.bin"), 1);
    });
    EXPECT_EQ(err.rfind("fopen: ", 0), 0u) << err;
    EXPECT_EQ(mdump_handle, nullptr);

    // No one, root included, can create files in /proc.
    ASSERT_EQ(chdir("/proc"), 0);
    EXPECT_EQ(PXR_dump_create(), 1);
    EXPECT_EQ(mdump_handle, nullptr);
    EXPECT_EQ(tdump_handle, nullptr);
}
