// `pxr check` on a running environment: traffic is never reported as damage, and buffers whose
// holders are gone are named, in text and JSON.
#include "ipc_test.h"

#include "check.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

class CheckBusy : public pxrtest::IpcTest {};

TEST_F(CheckBusy, TrafficIsNeverTakenForDamage) {
    for (uint32_t flags : {0u, uint32_t(PXR_INIT_ATOMIC)}) {
        pxrtest::remove_environment_objects();
        pxrtest::EnvSpec layout;
        layout.init_flags = flags;
        layout.buffers0 = 2000; // a walk long enough to meet traffic
        ASSERT_TRUE(pxrtest::create_running_environment(layout));
        pid_t traffic[2];
        for (pid_t &pid : traffic)
            pid = pxrtest::start_child([] {
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                MSG *held[16];
                while (std::chrono::steady_clock::now() < end) {
                    for (MSG *&m : held) m = getm(1, 0, 0, 8);
                    for (MSG *m : held) relm(m);
                }
                return 0;
            });
        for (int i = 0; i < 5; ++i) {
            usleep(100 * 1000); // within the children's traffic
            pxrtool::EnvironmentCheck c;
            EXPECT_NE(pxrtool::check_environment(c, 6, 50), pxrtool::kCheckDamaged)
                << c.partitions[0].problems.size();
        }
        for (pid_t pid : traffic) EXPECT_EQ(pxrtest::wait_child(pid), 0);
        pxrtool::EnvironmentCheck c;
        EXPECT_EQ(pxrtool::check_environment(c), pxrtool::kCheckConsistent)
            << c.partitions[0].problems.size();
        PXR_unlink();
    }
}

#ifdef PXR_TOOL_PATH
TEST_F(CheckBusy, BuffersOfGoneProcessesAreNamedForReclaim) {
    pxrtest::EnvSpec layout;
    ASSERT_TRUE(pxrtest::create_running_environment(layout));
    ASSERT_EQ(pxrtest::run_child([] {
                  PXR_unlink(); // attach again, under the child's own pid
                  return getm(1, 0, 0, 8) && getm(1, 0, 0, 8) ? 0 : 1;
              }),
              0);
    pxrtool::EnvironmentCheck c;
    ASSERT_EQ(pxrtool::check_environment(c), pxrtool::kCheckConsistent);
    EXPECT_EQ(c.partitions[0].held_by_gone.size(), 2u);

    FILE *f = popen((std::string(PXR_TOOL_PATH) + " check --json").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[4096] = {};
    const std::size_t n = fread(buf, 1, sizeof buf - 1, f);
    EXPECT_EQ(pclose(f), 0);
    const std::string out(buf, n);
    EXPECT_NE(out.find("\"result\":\"consistent\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"held_by_gone\":[{\"slot\":0,"), std::string::npos) << out;
    EXPECT_NE(std::system((std::string(PXR_TOOL_PATH) + " check --bogus 2>/dev/null").c_str()), 0);
}
#endif

} // namespace
