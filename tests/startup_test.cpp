// Start-up from kiv.cnf and shutdown of a real kiv-agentd, with the files it finds in its folder.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

// A lower-case kiv relays like any row (translated both ways, to a host by name); a disabled row
// gets no listener; a held port is reported; unread echoes are dropped, never relays. With a
// listener, a relay and a control client all idle, the agent waits in the kernel: over three
// seconds it uses hardly a tick of processor time (a loop spinning would use them all). The stop
// appends to kiv.log.
TEST(StartUp, EnabledRowsServeAnUnreadStandardErrorHoldsNothingUpAndAnIdleAgentUsesNoProcessor) {
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
  int relayed = connect_loopback(forwarder);
  int controlling = connect_loopback(control);
  ASSERT_TRUE(send_bytes(relayed, "a") && receive(relayed, 1) == "a") << "the relay is up";
  ASSERT_EQ(receive(controlling, 16), "KIV Agent v1.4b\n") << "the control client is served";
  long before = cpu_ticks(agent.pid());
  ASSERT_GE(before, 0) << "no processor time in /proc";
  // The measured time: three seconds in which nothing may arrive on the idle relay.
  pollfd idle{relayed, POLLIN, 0};
  EXPECT_EQ(poll(&idle, 1, 3000), 0) << "the idle relay sent something";
  EXPECT_LE(cpu_ticks(agent.pid()) - before, 5) << "ticks of processor time used while idle";
  close(relayed);
  close(controlling);
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
