// kiv-agent as a real process on Qt's offscreen platform.

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

// A stop request (SIGTERM, like its Close command) ends it even while a warning box waits.
TEST(KivAgent, ClosesWhileAStartUpWarningIsShowing) {
  TempFolder folder;
  folder.write("kiv.log", "");
  folder.write("kiv.cnf", "BAD x\n");
  AgentProcess agent(folder, KIV_AGENT_PATH);
  // A SIGTERM before the agent blocks it (to watch for it) would just kill it.
  ASSERT_TRUE(eventually([&agent] {
    std::ifstream status("/proc/" + std::to_string(agent.pid()) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigBlk:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    return 0ull;
  }, 10000));
  EXPECT_EQ(agent.stop(), 0);
  EXPECT_NE(folder.read("kiv.log").find(": kiv.cnf: Error in line 0\n"), std::string::npos);
}

// Qt takes the user's locale; Turkish has other day names and dotted i's.
TEST(KivAgent, LogStampsAndCommandsStayTheSameInATurkishLocale) {
  TempFolder folder;
  ASSERT_EQ(system(("localedef -i tr_TR -f UTF-8 " + folder.file("tr_TR.UTF-8")).c_str()), 0);
  folder.write("kiv.log", "");
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("KIV", port, port, "0.0.0.0"));
  AgentProcess agent(folder, {"env", "LOCPATH=.", "LC_ALL=tr_TR.UTF-8", KIV_AGENT_PATH});
  int client = connect_loopback(port);
  EXPECT_EQ(receive(client, 16), "KIV Agent v1.4b\n");
  EXPECT_EQ((send_bytes(client, "quit\r\n"), receive(client)), "KIV QUIT.\n");
  close(client);
  EXPECT_EQ(agent.stop(), 0);
  std::regex stamped("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                     "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}: .*");
  std::istringstream log(folder.read("kiv.log"));
  int lines = 0;
  for (std::string line; std::getline(log, line); ++lines) EXPECT_TRUE(std::regex_match(line, stamped)) << line;
  EXPECT_GE(lines, 3);
}

TEST(KivAgent, WithoutADisplaySaysSoAndNamesKivAgentd) {
  TempFolder folder;
  AgentProcess agent(folder, {"env", "-u", "QT_QPA_PLATFORM", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", KIV_AGENT_PATH});
  EXPECT_EQ(agent.wait_exit(20000), EXIT_FAILURE);
  EXPECT_TRUE(eventually([&] {
    for (const std::string& line : agent.lines())
      if (line.find("run kiv-agentd") != std::string::npos) return true;
    return false;
  }));
}

}  // namespace
}  // namespace kiv_test
