// Local time and the file handle table.
#include "ipc_test.h"

#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

std::string read_file(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return f ? s.str() : "<missing>";
}

// A fresh directory, and the table emptied so that handle numbers start from 0.
class FileTable : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        for (int h = 0; h < 16; ++h) PLAT_close(h);
        ASSERT_EQ(chdir("/"), 0);
    }
    std::string file(const char *name, const char *content = nullptr) const {
        if (content != nullptr) std::ofstream(dir_ / name, std::ios::binary) << content;
        return dir_ / name;
    }
    pxrtest::TempDir dir_;
};

TEST(Plat, LocalTimeDelayAndRandomNumbers) {
    setenv("TZ", "UTC", 1);
    tzset();
    Timestamp ts{1, 1, 1, 1, 1, 1, 99};
    ASSERT_EQ(PLAT_localtime(1700000000, &ts), PXR_OK);
    const Timestamp want{2023, 11, 14, 22, 13, 20, 0};
    EXPECT_EQ(std::memcmp(&ts, &want, sizeof ts), 0);
    ASSERT_EQ(PLAT_localtime(4102444800LL, &ts), PXR_OK); // past 2038
    EXPECT_EQ(ts.year, 2100u);
    uint32_t word = 0; // null outputs are refused
    EXPECT_EQ(PLAT_localtime(0, nullptr) + PLAT_timestamp(nullptr) +
                  PLAT_usec_time(nullptr, &word) + PLAT_usec_time(&word, nullptr) +
                  PLAT_msec_time(nullptr, &word) + PLAT_msec_time(&word, nullptr),
              6u);

    for (int i = 0; i < 100; ++i) {
        const uint32_t v = PLAT_rand(1, 6);
        ASSERT_TRUE(v >= 1 && v <= 7) << v;
        ASSERT_EQ(PLAT_rand(0, 0xFFFFFFFFu), 0u); // the width wraps to 0
    }
}

TEST_F(FileTable, HandlesAreTheLowestFreeSlotsUpToSixteen) {
    const std::string p = file("f", "abcd");
    for (int h = 0; h < 16; ++h) ASSERT_EQ(PLAT_open(p.c_str(), 1), h);
    EXPECT_EQ(PLAT_open(p.c_str(), 0), PXR_FILE_TABLE_FULL); // found before the bad mode
    EXPECT_EQ(PLAT_close(16), PXR_BAD);
    EXPECT_EQ(PLAT_close(5) + PLAT_close(5), PXR_OK); // a free slot stays free
    EXPECT_EQ(PLAT_os_handle(5), -1);
    EXPECT_EQ(PLAT_open(p.c_str(), 1), 5);
}

TEST_F(FileTable, ModesReadWriteAndSeek) {
    for (int mode : {0, 1, 2, 0x0B}) EXPECT_EQ(PLAT_open(file("none").c_str(), mode), -1) << mode;
    EXPECT_EQ(read_file(file("none")), "<missing>");
    int in = PLAT_open("-", 1), out = PLAT_open("-", 2);
    EXPECT_EQ((std::tuple{PLAT_os_handle(uint32_t(in)), PLAT_os_handle(uint32_t(out))}),
              (std::tuple{0, 1}));
    EXPECT_EQ(PLAT_open("-", 3), PXR_BAD);
    EXPECT_EQ(PLAT_close(in) + PLAT_close(out), PXR_OK);
    EXPECT_NE(fcntl(0, F_GETFD), -1); // standard streams stay open
    EXPECT_NE(fcntl(1, F_GETFD), -1);

    const std::string old = file("old", "contents");
    EXPECT_EQ(PLAT_open(old.c_str(), 0x14), PXR_BAD); // exclusive create of an existing file
    int h = PLAT_open(old.c_str(), 4 | 1);
    char buf[16] = {};
    EXPECT_EQ(read_file(old), ""); // truncated, and open for writing only
    EXPECT_EQ(PLAT_read(uint32_t(h), buf, 1), PXR_BAD);
    PLAT_close(h);
    umask(022);
    h = PLAT_open(file("fresh").c_str(), 0x14);
    struct stat st {};
    EXPECT_EQ((std::tuple{stat(file("fresh").c_str(), &st), (st.st_mode & 0777)}),
              (std::tuple{0, 0644}));
    PLAT_close(h);
    h = PLAT_open(file("log", "ab").c_str(), 0x0A);
    EXPECT_EQ(PLAT_seek(h, 0, 1), PXR_OK);
    EXPECT_EQ(PLAT_puts(uint32_t(h), "cd"), 2);
    EXPECT_EQ(read_file(file("log")), "abcd");
    PLAT_close(h);

    h = PLAT_open(file("four", "wxyz").c_str(), 3);
    EXPECT_EQ(PLAT_read(uint32_t(h), buf, 0), PXR_FILE_EOF);
    EXPECT_EQ(PLAT_read(uint32_t(h), buf, 10), 4);
    EXPECT_EQ(PLAT_seek(h, 2, 1), PXR_OK);
    EXPECT_EQ(PLAT_seek(h, -5, 0), PXR_BAD);
    EXPECT_EQ(PLAT_seek(h, 0, 2), PXR_FILE_BAD_ORIGIN);
    EXPECT_EQ(PLAT_write(uint32_t(h), "Q", 1), 1);
    EXPECT_EQ(PLAT_seek(h, -1, -1), PXR_OK);
    EXPECT_EQ((std::tuple{PLAT_read(uint32_t(h), buf, 1), buf[0]}), (std::tuple{1, 'z'}));
    EXPECT_EQ(read_file(file("four")), "wxQz");
    EXPECT_EQ(PLAT_seek(h + 1, 0, 0), PXR_FILE_BAD_HANDLE);
    for (uint32_t bad : {0xFFFFFFFFu, 16u, uint32_t(h + 1)})
        EXPECT_EQ(PLAT_read(bad, buf, 1) + PLAT_write(bad, "x", 1) + PLAT_os_handle(bad), -3);

    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    h = PLAT_open("-", 4); // no special meaning with create
    EXPECT_GT(PLAT_os_handle(uint32_t(h)), 1);
    EXPECT_EQ(read_file(file("-")), "");
}

} // namespace
