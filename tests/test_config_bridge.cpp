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

} // namespace
