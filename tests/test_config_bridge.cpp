// The bridge and remote directives of the loader's configuration.
#include "config.h"

#include <gtest/gtest.h>

using namespace pxrtool;

namespace {

constexpr const char *kBase = "partition 0 buffers=8 size=64\nqueue 0x20\n";

class ConfigBridge : public ::testing::Test {
    void SetUp() override { setenv("PXR_BRIDGE_PROGRAM", PXR_TOOL_PATH "-bridge", 1); }
};

TEST_F(ConfigBridge, refuses_what_cannot_be_routed) {
    const struct {
        const char *lines;
        const char *error;
    } cases[] = {
        {"remote 0x30", "remote needs a bridge line"},
        {"bridge cluster=c", "bridge needs url="},
        {"bridge url=nats://h:1", "bridge needs cluster="},
        {"bridge \"url=nats://u:p@h:1\" cluster=c", "bad url"},
        {"bridge url=nats://h:1 cluster=a.b", "bad cluster name"},
        {"bridge url=nats://h:1 cluster=c module=0x20", "bridge module 0x20"},
        {"bridge url=nats://h:1 cluster=c\nremote 0x20", "module 0x20 is local"},
        {"bridge url=nats://h:1 cluster=c credentials=/nonexistent", "cannot be read"},
        {"bridge url=nats://h:1 cluster=c tls-cert=/etc/hostname", "go together"},
        {"bridge url=nats://h:1 cluster=c\nbridge url=nats://h:1 cluster=c", "second bridge"},
    };
    for (const auto &c : cases) {
        Config cfg;
        std::vector<std::string> errors;
        std::string text = std::string(kBase) + c.lines + "\n";
        EXPECT_FALSE(parse_config(text, "f", cfg, errors)) << c.lines;
        std::string all;
        for (const std::string &e : errors) all += e + "\n";
        EXPECT_NE(all.find(c.error), std::string::npos) << c.lines << "\n" << all;
    }
}

TEST_F(ConfigBridge, adds_the_bridge_queue_remote_aliases_and_the_bridge_process) {
    Config cfg;
    std::vector<std::string> errors;
    ASSERT_TRUE(parse_config(std::string(kBase) + "remote 0x30 0x31\n"
                                                  "bridge url=nats://a:1 url=nats://b:2 cluster=c "
                                                  "module=0x40 discovery=off\n",
                             "f", cfg, errors))
        << (errors.empty() ? "" : errors[0]);
    EXPECT_EQ(cfg.queues.back(), 0x40u);
    ASSERT_EQ(cfg.aliases.size(), 2u);
    EXPECT_EQ(cfg.aliases[1].module, 0x31u);
    EXPECT_EQ(cfg.aliases[1].target, 0x40u);
    ASSERT_EQ(cfg.spawns.size(), 1u);
    const std::vector<std::string> want = {"pxr-bridge",  "url=nats://a:1", "url=nats://b:2",
                                           "cluster=c",   "module=0x40",    "discovery=off",
                                           "remote=0x30", "remote=0x31"};
    EXPECT_EQ(cfg.spawns[0].argv, want);
    EXPECT_EQ(cfg.spawns[0].program, bridge_program());
}

} // namespace
