// Start-up, kiv.cnf and kiv.log as a real kiv-agentd process sees them.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

TEST(StartUp, MissingConfigurationRunsWithNothingToServe) {
  TempFolder folder;
  AgentProcess agent(folder);
  ASSERT_TRUE(agent.wait_for_event("Cannot open kiv.cnf"));
  std::vector<std::string> events = agent.events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0], " *** KIV Started ***");
  EXPECT_EQ(agent.stop(), 0);
  EXPECT_FALSE(folder.exists("kiv.cnf"));
}

TEST(StartUp, MalformedRecordIsReportedForEveryShortReadAndItsRowReused) {
  TempFolder folder;
  uint16_t port = free_port();
  LoopbackServer remote(echo_handler);
  folder.write("kiv.cnf", "MAIL abc 110 mhost NONE 1\n" +
                              config_line("S1", port, remote.port(), "127.0.0.1", "NONE", 1));
  AgentProcess agent(folder);
  ASSERT_TRUE(agent.wait_for_event("Start new thread: S1 " + std::to_string(port) +
                                   "/127.0.0.1/" + std::to_string(remote.port())));
  EXPECT_EQ(agent.event_count("kiv.cnf: Error in line 0"), 4);
  int warnings = 0;
  for (const std::string& line : agent.lines()) warnings += line == "KIV Error: kiv.cnf: Error in line 0";
  EXPECT_EQ(warnings, 4);
  int client = connect_loopback(port);
  ASSERT_GE(client, 0);
  send_bytes(client, "x");
  EXPECT_EQ(receive_exactly(client, 1), "x");
  close(client);
}

TEST(StartUp, DisabledRowsAndLowerCaseKivGetNoControlPort) {
  TempFolder folder;
  uint16_t disabled = free_port();
  uint16_t forwarder = free_port();
  LoopbackServer remote(echo_handler);
  folder.write("kiv.cnf", config_line("OFF", disabled, remote.port(), "127.0.0.1", "NONE", 0) +
                              config_line("kiv", forwarder, remote.port(), "127.0.0.1", "NONE", 7));
  AgentProcess agent(folder);
  ASSERT_TRUE(agent.wait_for_event("Start new thread: kiv " + std::to_string(forwarder) +
                                   "/127.0.0.1/" + std::to_string(remote.port())));
  int client = connect_loopback(forwarder);
  ASSERT_GE(client, 0);
  send_bytes(client, "HELP\r\n");
  EXPECT_EQ(receive_exactly(client, 6), "HELP\r\n");
  close(client);
  EXPECT_EQ(connect_loopback(disabled, 500), -1);
  for (const std::string& event : agent.events()) {
    EXPECT_EQ(event.find("OFF"), std::string::npos) << event;
  }
}

TEST(LogFile, AppendedAtShutdownOnlyWhenItExists) {
  TempFolder folder;
  folder.write("kiv.log", "earlier line\n");
  {
    AgentProcess agent(folder);
    ASSERT_TRUE(agent.wait_for_event("Cannot open kiv.cnf"));
    EXPECT_EQ(agent.stop(), 0);
  }
  std::string log = folder.read("kiv.log");
  std::regex layout(
      "earlier line\n"
      "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}:  \\*\\*\\* KIV Started \\*\\*\\*\n"
      "[^\n]{24}: Cannot open kiv.cnf\n");
  EXPECT_TRUE(std::regex_match(log, layout)) << log;

  TempFolder without_log;
  {
    AgentProcess agent(without_log);
    ASSERT_TRUE(agent.wait_for_event("Cannot open kiv.cnf"));
    EXPECT_EQ(agent.stop(), 0);
  }
  EXPECT_FALSE(without_log.exists("kiv.log"));
}

TEST(Shutdown, StopSignalEndsTheAgentWhileClientsAreConnected) {
  TempFolder folder;
  folder.write("kiv.log", "");
  uint16_t port = free_port();
  LoopbackServer remote(echo_handler);
  folder.write("kiv.cnf", config_line("S1", port, remote.port(), "127.0.0.1", "NONE", 1));
  AgentProcess agent(folder);
  int client = connect_loopback(port);
  ASSERT_GE(client, 0);
  send_bytes(client, "x");
  EXPECT_EQ(receive_exactly(client, 1), "x");
  ASSERT_TRUE(agent.wait_for_event("S1 Connected"));
  agent.signal(SIGINT);
  EXPECT_EQ(agent.wait_exit(10000), 0);
  EXPECT_NE(folder.read("kiv.log").find(": S1 Connected\n"), std::string::npos);
  close(client);
}

}  // namespace
}  // namespace kiv_test
