// kiv-agent as a real process on Qt's offscreen platform: a stop request
// (SIGTERM, which closes the window like its Close command) ends it even
// while a warning box waits for an answer.

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

/// Whether the process `pid` has blocked SIGTERM, which it does once it
/// watches for the stop signals.
bool watches_stop_signals(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
  }
  return false;
}

TEST(KivAgent, ClosesWhileAStartUpWarningIsShowing) {
  TempFolder folder;
  folder.write("kiv.log", "");
  folder.write("kiv.cnf", "BAD x\n");
  AgentProcess agent(folder, KIV_AGENT_PATH);
  // The box waits for an answer that never comes; whether the stop request
  // arrives before the window exists or while the box shows, it closes it.
  ASSERT_TRUE(eventually([&agent] { return watches_stop_signals(agent.pid()); }, 10000));
  EXPECT_EQ(agent.stop(), 0);
  EXPECT_NE(folder.read("kiv.log").find(": kiv.cnf: Error in line 0\n"), std::string::npos);
}

}  // namespace
}  // namespace kiv_test
