// Start-up from kiv.cnf and shutdown of a real kiv-agentd, with the files it finds in its folder.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

// A lower-case kiv relays like any row (translated both ways, to a host by name); a disabled row
// gets no listener; a held port is reported; unread echoes are dropped, never relays. The stop
// appends to kiv.log.
TEST(StartUp, EnabledRowsServeAndAnUnreadStandardErrorHoldsNothingUp) {
  LoopbackServer remote(echo_handler);
  uint16_t forwarder = free_port();
  uint16_t disabled = free_port();
  uint16_t refused = free_port();
  uint16_t control = free_port();
  TempFolder folder;
  folder.write("kiv.log", "earlier line\n");
  folder.write("kiv.cnf", config_line("kiv", forwarder, remote.port(), "localhost", "WINDOWS", 7) +
                              config_line("OFF", disabled, remote.port(), "127.0.0.1", "NONE", 0) +
                              config_line("BUSY", remote.port(), remote.port()) +
                              config_line("S4", refused, free_port()) +
                              config_line("KIV", control, control));
  AgentProcess agent(folder);
  EXPECT_EQ(round_trip(forwarder, "HELP\xC0\x9F"), "HELP\xC0\x9F") << "each way undoes the other";
  for (const char* text : {"Can't bind: 98", "BUSY Error: Select 10038", "BUSY - thread Closed"}) {
    EXPECT_TRUE(agent.wait_for_event(text)) << "the held port is reported";
  }
  EXPECT_EQ(connect_loopback(disabled, 500), -1) << "a disabled row listens";
  agent.hold_output(true);
  // Each refused relay echoes four lines, some 200 bytes: 500 overfill a pipe.
  int relays = 0;
  while (relays < 500) {
    int fd = connect_loopback(refused);
    if (receive_to_end(fd) != 0) break;
    close(fd);
    ++relays;
  }
  EXPECT_EQ(relays, 500) << "a relay waited for its echo to be read";
  agent.hold_output(false);
  // The next line echoed says how many were dropped.
  auto says_dropped = [](const std::string& line) { return line.rfind("KIV Echo: ", 0) == 0; };
  EXPECT_TRUE(eventually([&] {
    std::vector<std::string> lines = agent.lines();
    return echoes(forwarder) && std::any_of(lines.begin(), lines.end(), says_dropped);
  })) << "the dropped echoes are not counted";
  agent.signal(SIGHUP);  // its line comes last: only the stop writes it to kiv.log
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  agent.signal(SIGINT);
  EXPECT_EQ(agent.wait_exit(20000), 0) << "SIGINT stops it like SIGTERM";
  std::string log = folder.read("kiv.log");
  EXPECT_EQ(log.rfind("earlier line\n", 0), 0u) << "kiv.log was not appended to";
  EXPECT_NE(log.find(": KIV reconfigured...\n"), std::string::npos) << "the stop flushed no log";
}

}  // namespace
}  // namespace kiv_test
