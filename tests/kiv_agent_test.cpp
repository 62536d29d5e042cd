// kiv-agent as a real process on Qt's offscreen platform: closing its window
// (here by SIGTERM, which closes it like its Close command) ends the process.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

/// Whether the process `pid` has blocked SIGTERM, which it does once it
/// watches for the stop signals.
bool watches_stop_signals(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0) {
      unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
      return (blocked & (1ull << (SIGTERM - 1))) != 0;
    }
  }
  return false;
}

TEST(KivAgent, ClosingTheWindowFlushesTheLogAndEndsWhileAClientIsConnected) {
  TempFolder folder;
  folder.write("kiv.log", "");
  uint16_t port = free_port();
  LoopbackServer remote(echo_handler);
  folder.write("kiv.cnf", config_line("S1", port, remote.port(), "127.0.0.1", "NONE", 1));
  AgentProcess agent(folder, KIV_AGENT_PATH);
  int client = connect_loopback(port);
  ASSERT_GE(client, 0);
  ASSERT_TRUE(send_bytes(client, "x"));
  ASSERT_EQ(receive_exactly(client, 1), "x");
  EXPECT_EQ(agent.stop(), 0);
  std::string log = folder.read("kiv.log");
  EXPECT_NE(log.find(":  *** KIV Started ***\n"), std::string::npos) << log;
  EXPECT_NE(log.find(": S1 Connected\n"), std::string::npos) << log;
  close(client);
}

TEST(KivAgent, ClosesWhileAStartUpWarningIsShowing) {
  TempFolder folder;
  folder.write("kiv.log", "");
  folder.write("kiv.cnf", "BAD x\n");
  AgentProcess agent(folder, KIV_AGENT_PATH);
  // The box waits for an answer that never comes; whether the stop request
  // arrives before the window exists or while the box shows, it closes it.
  for (int i = 0; i < 400 && !watches_stop_signals(agent.pid()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_TRUE(watches_stop_signals(agent.pid()));
  EXPECT_EQ(agent.stop(), 0);
  EXPECT_NE(folder.read("kiv.log").find(": kiv.cnf: Error in line 0\n"), std::string::npos);
}

}  // namespace
}  // namespace kiv_test
