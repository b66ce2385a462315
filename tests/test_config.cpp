// The loader's configuration reader: what a valid file yields, one error line per fault with
// its line number, and nothing created when the file is invalid.
#include "config.h"
#include "ipc_test.h"
#include "tool.h"

#include <fstream>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using pxrtool::Config;

// Bridge lines name a program that must exist.
[[maybe_unused]] const int bridge_program =
    setenv("PXR_BRIDGE_PROGRAM", PXR_TOOL_PATH "-bridge", 1);

std::vector<std::string> errors_of(const std::string &text) {
    Config cfg;
    std::vector<std::string> errors;
    pxrtool::parse_config(text, "t.conf", cfg, errors);
    return errors;
}

TEST(ConfigReader, ValidFileYieldsEveryDirective) {
    const std::string text = "* a full configuration\n"
                             "\n"
                             "environment atomic error-print fatal-action=1 congestion=0x10 "
                             "ring-queues access=0660\n"
                             "partition 0 buffers=1000 size=256 onset=800 abate=600 * comment\n"
                             "partition\t1 buffers=0x10 size=4096\r\n"
                             "queue 0x20 33\n"
                             "alias 0x10 0x20\n"
                             "group 0x40 all-or-nothing 0x20 33\n"
                             "spawn cpu=0:2-3 sh -c \"exit 0\"\n"
                             "spawn /bin/sh";
    Config cfg;
    std::vector<std::string> errors;
    ASSERT_TRUE(pxrtool::parse_config(text, "t.conf", cfg, errors))
        << (errors.empty() ? "" : errors[0]);
    EXPECT_EQ(cfg.init_flags, PXR_INIT_ATOMIC | PXR_INIT_ERROR_PRINT | PXR_INIT_FATAL_ACTION(1));
    EXPECT_EQ(cfg.congestion_module, 0x10u);
    EXPECT_EQ(cfg.ring_capacity, 1024u);
    EXPECT_EQ(cfg.access, 0660);
    const auto &p0 = cfg.partitions[0], &p1 = cfg.partitions[1];
    EXPECT_TRUE(p0.defined);
    EXPECT_EQ(std::tuple(p0.buffers, p0.size, p0.onset, p0.abate),
              std::tuple(1000, 256u, 800u, 600u));
    EXPECT_EQ(std::tuple(p1.buffers, p1.size), std::tuple(16, 4096u));
    EXPECT_EQ(cfg.queues, (std::vector<uint32_t>{0x20, 33}));
    ASSERT_EQ(cfg.aliases.size(), 1u);
    EXPECT_EQ(std::tuple(cfg.aliases[0].module, cfg.aliases[0].target), std::tuple(0x10u, 0x20u));
    ASSERT_EQ(cfg.spawns.size(), 2u);
    EXPECT_EQ(cfg.spawns[0].argv, (std::vector<std::string>{"sh", "-c", "exit 0"}));
    ASSERT_EQ(cfg.groups.size(), 1u);
    EXPECT_EQ(std::tuple(cfg.groups[0].module, cfg.groups[0].members, cfg.groups[0].all_or_nothing),
              std::tuple(0x40u, std::vector<uint8_t>{0x20, 33}, true));
    EXPECT_EQ(cfg.spawns[0].line, 9);
    EXPECT_EQ(cfg.spawns[0].cpus, (std::vector<uint16_t>{0, 2, 3}));
    EXPECT_EQ(cfg.spawns[1].argv, (std::vector<std::string>{"/bin/sh"}));
    Config bridged; // acknowledged remote modules get queues; the others alias the bridge's
    ASSERT_TRUE(pxrtool::parse_config("partition 0 buffers=4 size=8\nremote 0x30 0x32 acked\n"
                                      "remote 0x31\nbridge url=nats://h:1 cluster=c",
                                      "t.conf", bridged, errors));
    EXPECT_EQ(bridged.queues, (std::vector<uint32_t>{0xFE, 0x30, 0x32}));
    ASSERT_EQ(bridged.aliases.size(), 1u);
    EXPECT_EQ(std::tuple(bridged.aliases[0].module, bridged.aliases[0].target),
              std::tuple(0x31u, 0xFEu));
    const std::vector<std::string> &argv = bridged.spawns.at(0).argv;
    EXPECT_EQ(std::vector<std::string>(argv.end() - 3, argv.end()),
              (std::vector<std::string>{"acked=0x30", "acked=0x32", "remote=0x31"}));
    Config rings;
    EXPECT_TRUE(pxrtool::parse_config("environment ring-queues=65536\npartition 0 buffers=4 size=8",
                                      "t", rings, errors));
    EXPECT_EQ(rings.ring_capacity, 65536u);
}

TEST(ConfigReader, EachKindOfErrorNamesItsLine) {
    struct Case {
        const char *line;
        const char *message;
    };
    const std::string long_line(pxrtool::kMaxLineLength + 5, 'x');
    const Case cases[] = {
        {"bogus 1", "unknown directive 'bogus'"},
        {"queue 0x20 ;", "invalid character ';'"},
        {"queue \"0x20", "unbalanced quote"},
        {"queue 255", "bad module id '255'"},
        {"queue 0x2g", "bad module id '0x2g'"},
        {"partition 2 buffers=1 size=8", "bad partition number '2'"},
        {"partition 1 buffers=65001 size=8", "bad value for buffers"},
        {"partition 1 buffers=0 size=8", "buffers must be at least 1"},
        {"partition 1 buffers=10", "partition needs buffers=N and size=BYTES"},
        {"partition 1 buffers=10 size=8 colour=red", "unknown partition option 'colour'"},
        {"partition 1 buffers=10 size=8 onset=5", "onset and abate go together"},
        {"partition 1 buffers=10 size=8 onset=5 abate=5", "0 < abate < onset <= buffers"},
        {"partition 1 buffers=65000 size=40000", "partition too large"},
        {"environment turbo", "unknown environment option 'turbo'"},
        {"environment fatal-action=16", "bad value for fatal-action"},
        {"environment ring-queues=100", "bad value for ring-queues: '100' (a power of two"},
        {"environment ring-queues=8", "bad value for ring-queues"},
        {"environment access=0644", "bad value for access: '0644' (0600, 0660 or 0666)"},
        {"alias 0x30", "alias needs a module id and a target module id"},
        {"alias 0x30 0x31", "alias target 0x31 has no queue"},
        {"group 0x41", "group needs a module id and 1 to 16 member module ids"},
        {"group 0x41 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17", "1 to 16 member"},
        {"group 0x41 0x21 0x21", "member 0x21 is the group itself or named twice"},
        {"group 0x41 0x21", "group member 0x21 has no queue of its own"},
        {"spawn restart=always", "spawn needs a program"},
        {"spawn ./true", "program './true' not found"},
        {"spawn /etc/passwd", "program '/etc/passwd' not found"}, // not executable
        {"spawn /bin", "program '/bin' not found"},
        {"spawn restart=sometimes true", "bad restart 'sometimes'"},
        {"spawn restart=no restart=always true", "restart given twice on one line"},
        {"spawn critical critical true", "critical given twice"},
        {"spawn env=A=1 env=A=2 true", "env A given twice"},
        {"spawn env=1A=x true", "env needs NAME=VALUE"},
        {"spawn cwd=nowhere true", "cwd 'nowhere' is not a folder"},
        {"spawn cpu=3-1 true", "bad cpu list '3-1'"},
        {"spawn cpu=0:1024 true", "bad cpu list"},
        {"spawn colour=red true", "unknown spawn option 'colour'"},
        {"partition 1 buffers=4 size=64 size=128", "size given twice on one line"},
        {"environment atomic atomic", "atomic given twice on one line"},
        {long_line.c_str(), "line longer than"},
        {"remote 0x30", "remote needs a bridge line"},
        {"remote acked", "remote needs at least one module id"},
        {"bridge cluster=c", "bridge needs url="},
        {"bridge url=nats://h:1", "bridge needs cluster="},
        {"bridge url=nats://h:1 cluster=a.b", "bad cluster name"},
        {"bridge url=nats://h:1 cluster=c module=0x40", "bridge module 0x40"},
        {"bridge url=nats://h:1 cluster=c module=0x41\ngroup 0x41 0x40", "or group"},
        {"bridge url=nats://h:1 cluster=c credentials=/nonexistent", "cannot be read"},
        {"bridge url=nats://h:1 cluster=c tls-cert=/etc/hostname", "go together"},
    };
    for (const Case &c : cases) {
        // Line 3 holds the fault; the rest of the file is valid.
        std::string text =
            "partition 0 buffers=4 size=8\n* comment\n" + std::string(c.line) + "\nqueue 0x40\n";
        std::vector<std::string> errors = errors_of(text);
        ASSERT_EQ(errors.size(), 1u) << c.line;
        const std::string &e = errors[0];
        EXPECT_EQ(e.rfind("t.conf:3: ", 0), 0u) << e;
        EXPECT_NE(e.find(c.message), std::string::npos) << e;
        std::string shown = std::string(c.line).substr(0, 40);
        EXPECT_NE(e.find(shown), std::string::npos) << "the line is quoted: " << e;
    }
}

TEST(ConfigReader, ErrorsThatNeedTheWholeFile) {
    struct {
        std::string text;
        std::vector<std::string> want; // each error starts with "t.conf" and holds its entry
        std::string echoed = {};       // the line as every error shows it, when given
    } cases[] = {
        // Repeats, with the earlier line named.
        {"environment\npartition 0 buffers=2 size=8\nenvironment atomic\n"
         "partition 0 buffers=2 size=8\nqueue 5\nqueue 5\nalias 6 5\nalias 6 5\n",
         {":3: second environment line (the first is line 1)",
          ":4: partition 0 defined twice (first on line 2)", ":6: module 0x5 already has a queue",
          ":8: module 0x6 is already an alias (line 7)"}},
        // Checks made at the end still report the line they belong to, in line order.
        {"environment atomic\npartition 0 buffers=1 size=6\n"
         "partition 1 buffers=9 size=8 onset=4 abate=2\n",
         {":2: an atomic environment needs at least 2 buffers",
          ":2: an atomic environment needs a size that is a multiple",
          ":3: congestion module 0x0 has no queue"}},
        {"partition 0 buffers=2 size=8\nqueue 5\nbridge url=nats://h:1 cluster=c\nremote 5\n"
         "bridge url=nats://h:1 cluster=c\n",
         {":4: module 0x5 is local", ":5: second bridge"}},
        {"partition 0 buffers=2 size=8\nbridge \"url=nats://u:p@h:1\" cluster=c\n",
         {":2: bad url", ":2: bridge needs url="},
         "url=nats://***@h:1"},
        // A file without a partition has no line to blame.
        {"* nothing\nqueue 1\n", {": no partition defined"}},
        {"", {": no partition defined"}},
        // CR LF line ends do not disturb the numbering.
        {"partition 0 buffers=2 size=8\r\n\r\nqueue x\r\n", {":3: "}},
        {"partition 0 buffers=2 size=8\r\rqueue x\rqueue y\r", {":3: ", ":4: "}}, // CR alone
    };
    for (auto &c : cases) {
        auto errors = errors_of(c.text);
        ASSERT_EQ(errors.size(), c.want.size()) << c.text;
        for (std::size_t i = 0; i < errors.size(); ++i) {
            EXPECT_EQ(errors[i].substr(0, 6 + c.want[i].size()), "t.conf" + c.want[i]);
            EXPECT_NE(errors[i].find(c.echoed), std::string::npos) << errors[i];
        }
    }
}

class ConfigLoad : public pxrtest::IpcTest {};

TEST_F(ConfigLoad, InvalidFileCreatesNothing) {
    pxrtest::TempDir dir;
    std::string path = dir / "env.conf";
    // Everything but the last line is valid; the loader must not start building.
    std::ofstream(path) << "environment\npartition 0 buffers=8 size=16\nqueue 0x20\n"
                           "spawn /bin/true\nalias 0x21 0x22\n";
    char cmd[] = "load";
    char *argv[] = {cmd, path.data(), nullptr};
    int rc = 0;
    std::string err = pxrtest::capture_stderr([&] { rc = pxrtool::cmd_load(2, argv); });
    EXPECT_EQ(rc, 65);
    EXPECT_NE(err.find(path + ":5: alias target 0x22 has no queue"), std::string::npos) << err;
    EXPECT_NE(err.find("nothing was created"), std::string::npos);
    EXPECT_EQ(pxrtest::remove_environment_objects(), 0);
}

TEST(ConfigReader, Numbers) {
    uint64_t v = 0;
    EXPECT_TRUE(pxrtool::parse_number("0x1F", 255, v));
    EXPECT_EQ(v, 31u);
    EXPECT_FALSE(pxrtool::parse_number("99999999999999999999999", UINT64_MAX, v));
    for (const char *bad : {"", "0x", "-1", "+1", "1.5", " 1"})
        EXPECT_FALSE(pxrtool::parse_number(bad, 100, v)) << bad;
}

} // namespace
