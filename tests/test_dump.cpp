// Memory and text dump files.
#include "ipc_test.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

using namespace pxrtest;

// Every case works in a directory of its own, since the file names depend only on the minute.
class Dump : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(chdir(dir_.path().c_str()), 0); }
    void TearDown() override {
        PXR_dump_close();
        ASSERT_EQ(chdir("/"), 0);
    }
    TempDir dir_;
};

std::string name(const char *kind, const Timestamp &t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "pxr%s_%02d%02d%04d_%02d%02d.%s", kind, int(t.day), int(t.month),
                  int(t.year), int(t.hour), int(t.minute), kind[0] == 'm' ? "bin" : "txt");
    return buf;
}
long file_size(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

} // namespace

TEST_F(Dump, WriteThenReadBlocks) {
    Timestamp before{}, after{};
    PLAT_timestamp(&before);
    ASSERT_EQ(PXR_dump_create(), 0);
    PLAT_timestamp(&after);
    ASSERT_NE(mdump_handle, nullptr);
    std::fputs("report\n", tdump_handle);

    unsigned char c[120];
    for (int i = 0; i < 120; ++i) c[i] = (unsigned char)(i * 7);
    EXPECT_FALSE(PXR_dump_write_memory(c, 16) || PXR_dump_write_memory(c + 16, 104));
    EXPECT_EQ(PXR_dump_write_memory(c, 0), 1);
    EXPECT_EQ(PXR_dump_close(), 0);
    EXPECT_EQ((std::tuple{mdump_handle, tdump_handle}), (std::tuple{nullptr, nullptr}));
    EXPECT_EQ(PXR_dump_close(), 0); // nothing left to close

    // The clock may have passed a minute boundary during the create.
    const Timestamp &t = file_size(name("mem", before)) < 0 ? after : before;
    EXPECT_EQ(file_size(name("mem", t)), 120);
    EXPECT_EQ(file_size(name("dump", t)), 7);

    ASSERT_EQ(PXR_dump_open(name("mem", t).c_str()), 0);
    EXPECT_EQ(tdump_handle, nullptr);
    unsigned char r[120];
    EXPECT_FALSE(PXR_dump_read_memory(r, 4) || PXR_dump_read_memory(r + 4, 116));
    EXPECT_EQ(std::memcmp(r, c, 120), 0);
    std::string err = capture_stderr([&] {
        EXPECT_EQ(PXR_dump_read_memory(r, 1), 1);
        EXPECT_EQ(PXR_dump_read_memory(r, 0), 1);
    });
    EXPECT_EQ(err.rfind("fread", 0), 0u) << err;
}

TEST_F(Dump, FailuresWithoutAnOpenDump) {
    unsigned char buf[8] = {};
    EXPECT_EQ(PXR_dump_write_memory(buf, 8), 1);
    std::string err = capture_stderr([&] {
        EXPECT_EQ((std::tuple{PXR_dump_read_memory(buf, 8), PXR_dump_open("no/such/x")}),
                  (std::tuple{1, 1}));
    });
    EXPECT_EQ(err.rfind("fopen: ", 0), 0u) << err;

    // No one, root included, can create files in /proc.
    ASSERT_EQ(chdir("/proc"), 0);
    EXPECT_EQ(PXR_dump_create(), 1);
    EXPECT_EQ((std::tuple{mdump_handle, tdump_handle}), (std::tuple{nullptr, nullptr}));
}
