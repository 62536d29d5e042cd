// kiv-agent as a real process on Qt's offscreen platform.

#include <gtest/gtest.h>

#include <regex>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

// A stop request (SIGTERM, like its Close command) ends it even while a warning box waits.
TEST(KivAgent, ClosesWhileAStartUpWarningIsShowing) {
  TempFolder folder;
  folder.write("kiv.cnf", "BAD x\n");
  AgentProcess agent(folder, KIV_AGENT_PATH);
  // Its first thread waits for stop requests: a SIGTERM before they are blocked would just kill it.
  ASSERT_TRUE(eventually([&agent] { return thread_total(agent.pid()) > 1; }));
  EXPECT_EQ(agent.stop(), 0);
}

// Qt takes the user's locale; Turkish has other day names and dotted i's.
TEST(KivAgent, LogStampsAndCommandsStayTheSameInATurkishLocale) {
  TempFolder folder;
  ASSERT_EQ(system(("localedef -i tr_TR -f UTF-8 " + folder.file("tr_TR.UTF-8")).c_str()), 0);
  folder.write("kiv.log", "");
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("KIV", port, port, "0.0.0.0"));
  AgentProcess agent(folder, {"env", "LOCPATH=.", "LC_ALL=tr_TR.UTF-8", KIV_AGENT_PATH});
  EXPECT_EQ(round_trip(port, "quit\r\n"), "KIV Agent v1.4b\nKIV QUIT.\n");
  EXPECT_EQ(agent.stop(), 0);
  std::regex stamped("((Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [^\n]*\n){3,}");
  EXPECT_TRUE(std::regex_match(folder.read("kiv.log"), stamped)) << folder.read("kiv.log");
}

TEST(KivAgent, WithoutADisplaySaysSoAndNamesKivAgentd) {
  TempFolder folder;
  AgentProcess agent(folder, {"env", "-u", "QT_QPA_PLATFORM", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", KIV_AGENT_PATH});
  EXPECT_EQ(agent.wait_exit(20000), EXIT_FAILURE);
  EXPECT_TRUE(eventually([&] { return !agent.lines().empty() && agent.lines().back().find("run kiv-agentd") != std::string::npos; }));
}

}  // namespace
}  // namespace kiv_test
