// Clock, delay, random numbers and the file handle table.
#include "pxrlib.h"

#include "ipc_test.h"

#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// A fresh directory for files, and the table emptied so handle numbers start from 0.
class FileTable : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int h = 0; h < 16; ++h) PLAT_close(h);
    }
    void TearDown() override {
        for (int h = 0; h < 16; ++h) PLAT_close(h);
        ASSERT_EQ(chdir("/"), 0);
    }
    std::string path(const char *name) const { return dir_ / name; }
    std::string write_file(const char *name, const std::string &content) const {
        std::ofstream(path(name), std::ios::binary) << content;
        return path(name);
    }
    static std::string read_file(const std::string &p) {
        std::ifstream f(p, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return f ? s.str() : "<missing>";
    }
    pxrtest::TempDir dir_;
};

} // namespace

TEST(PlatTime, TimestampFields) {
    setenv("TZ", "UTC", 1);
    tzset();
    Timestamp ts{1, 1, 1, 1, 1, 1, 99};
    ASSERT_EQ(PLAT_localtime(1700000000, &ts), 0u);
    const Timestamp want{2023, 11, 14, 22, 13, 20, 0};
    EXPECT_EQ(std::memcmp(&ts, &want, sizeof ts), 0);
    ASSERT_EQ(PLAT_localtime(4102444800LL, &ts), 0u); // past 2038
    EXPECT_EQ(ts.year, 2100u);

    ASSERT_EQ(PLAT_timestamp(&ts), 0u);
    const std::time_t now = std::time(nullptr);
    EXPECT_EQ(ts.year, uint32_t(std::gmtime(&now)->tm_year + 1900));
}

TEST(PlatTime, DelaySleepsTheGivenMilliseconds) {
    using clock = std::chrono::steady_clock;
    auto t0 = clock::now();
    EXPECT_EQ(PLAT_delay(1150), 0u); // whole seconds and a remainder
    auto took = clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(1150));
    EXPECT_LT(took, std::chrono::milliseconds(1600));
}

TEST(PlatRand, FollowsTheScalingFormulaAndSeeds) {
    const double k = std::bit_cast<double>(uint64_t(0x3E00000000200000));
    // A wide range makes the scale factor visible in the result.
    const uint32_t lo = 3, hi = 0xFFFFFFF0u;
    PLAT_srand(7);
    int draws[50];
    for (int &d : draws) d = std::rand();
    PLAT_srand(7);
    for (int d : draws) {
        double x = double(lo) + double(uint32_t(hi - lo + 1)) * (double(d) * k);
        ASSERT_EQ(PLAT_rand(lo, hi), uint32_t(int64_t(x))) << "draw " << d;
    }
    for (int i = 0; i < 200; ++i) {
        uint32_t v = PLAT_rand(1, 6);
        ASSERT_TRUE(v >= 1 && v <= 7) << v;
        ASSERT_EQ(PLAT_rand(0, 0xFFFFFFFFu), 0u); // the width wraps to 0
    }
    // Seed 0 takes the milliseconds of the clock.
    uint32_t s = 0, ms = 0;
    PLAT_msec_time(&s, &ms);
    PLAT_srand(0);
    const int from_clock = std::rand();
    bool matched = false;
    for (uint32_t m = ms; m < ms + 5 && !matched; ++m) {
        std::srand(m % 1000);
        matched = std::rand() == from_clock;
    }
    EXPECT_TRUE(matched);
}

TEST_F(FileTable, HandlesAreLowestFreeSlotsUpToSixteen) {
    std::string p = write_file("f", "abcd");
    EXPECT_EQ(PLAT_open(p.c_str(), 1), 0);
    EXPECT_EQ(PLAT_open(p.c_str(), 1), 1);
    EXPECT_EQ(PLAT_close(0), 0);
    EXPECT_EQ(PLAT_open(p.c_str(), 1), 0);
    for (int h = 2; h < 16; ++h) ASSERT_EQ(PLAT_open(p.c_str(), 1), h);
    EXPECT_EQ(PLAT_open(p.c_str(), 1), -2);
    EXPECT_EQ(PLAT_open(p.c_str(), 0), -2); // the full table is found before the mode
    EXPECT_EQ(PLAT_close(16), -1);
    EXPECT_EQ(PLAT_close(5), 0);
    EXPECT_EQ(PLAT_close(5), 0); // a free slot stays free
    EXPECT_EQ(PLAT_os_handle(5), -1);
    EXPECT_EQ(PLAT_open(p.c_str(), 1), 5);
}

TEST_F(FileTable, ModesAndTheDashPath) {
    for (int mode : {0, 1, 2, 0x0B}) EXPECT_EQ(PLAT_open(path("none").c_str(), mode), -1) << mode;
    EXPECT_EQ(read_file(path("none")), "<missing>");

    int in = PLAT_open("-", 1), out = PLAT_open("-", 2);
    EXPECT_EQ(PLAT_os_handle(uint32_t(in)), 0);
    EXPECT_EQ(PLAT_os_handle(uint32_t(out)), 1);
    EXPECT_EQ(PLAT_open("-", 3), -1);
    EXPECT_EQ(PLAT_close(in), 0);
    EXPECT_EQ(PLAT_close(out), 0);
    EXPECT_NE(fcntl(0, F_GETFD), -1); // standard input and output stay open
    EXPECT_NE(fcntl(1, F_GETFD), -1);

    std::string p = write_file("old", "contents");
    EXPECT_EQ(PLAT_open(p.c_str(), 0x14), -1); // exclusive create of an existing file
    int h = PLAT_open(p.c_str(), 4 | 1);
    ASSERT_GE(h, 0);
    EXPECT_EQ(read_file(p), ""); // truncated, and open for writing only
    char c;
    EXPECT_EQ(PLAT_read(uint32_t(h), &c, 1), -1);
    PLAT_close(h);

    umask(022);
    std::string fresh = path("fresh");
    h = PLAT_open(fresh.c_str(), 0x14);
    ASSERT_GE(h, 0);
    struct stat st {};
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    PLAT_close(h);

    std::string log = write_file("log", "ab");
    h = PLAT_open(log.c_str(), 0x0A);
    EXPECT_EQ(PLAT_seek(h, 0, 1), 0);
    EXPECT_EQ(PLAT_puts(uint32_t(h), "cd"), 2);
    EXPECT_EQ(read_file(log), "abcd");
    PLAT_close(h);

    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    h = PLAT_open("-", 4); // no special meaning with create
    EXPECT_GT(PLAT_os_handle(uint32_t(h)), 1);
    EXPECT_EQ(read_file(path("-")), "");
}

TEST_F(FileTable, ReadWriteSeek) {
    std::string p = write_file("four", "wxyz");
    int h = PLAT_open(p.c_str(), 3);
    ASSERT_GE(h, 0);
    char buf[16] = {};
    EXPECT_EQ(PLAT_read(uint32_t(h), buf, 0), -3);
    EXPECT_EQ(PLAT_read(uint32_t(h), buf, 10), 4);
    EXPECT_EQ(PLAT_read(uint32_t(h), buf, 10), -3);

    EXPECT_EQ(PLAT_seek(h, 2, 1), 0);
    EXPECT_EQ(PLAT_seek(h, -5, 0), -1);
    EXPECT_EQ(PLAT_seek(h, 0, 2), -2);
    EXPECT_EQ(PLAT_write(uint32_t(h), "Q", 1), 1);
    EXPECT_EQ(PLAT_write(uint32_t(h), "", 0), 0);
    EXPECT_EQ(PLAT_seek(h, -1, -1), 0);
    EXPECT_EQ(PLAT_read(uint32_t(h), buf, 1), 1);
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(read_file(p), "wxQz");

    EXPECT_EQ(PLAT_seek(h + 1, 0, 0), -4);
    for (uint32_t bad : {0xFFFFFFFFu, 16u, uint32_t(h + 1)}) {
        EXPECT_EQ(PLAT_read(bad, buf, 1), -1);
        EXPECT_EQ(PLAT_write(bad, "x", 1), -1);
        EXPECT_EQ(PLAT_os_handle(bad), -1);
    }
    EXPECT_EQ(PLAT_declare_global(buf), 0);
}
