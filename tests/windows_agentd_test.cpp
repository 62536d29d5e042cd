// kiv-agentd.exe of the Windows build under wine, with real loopback sockets.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "forward/conversion_tables.h"
#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/translated.h"

namespace kiv_test {
namespace {

// Relays and a reset under a paused console; Ctrl+C appends every line echoed, and only those, with CR LF.
TEST(AgentUnderWine, RelaysControlsAndLogsTheWindowsWay) {
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t control = free_port(), port = free_port(), refused = free_port(), nowhere = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") +
                              config_line("S1", port, remote.port()) +
                              config_line("S2", refused, nowhere));
  folder.write("kiv.log", "Earlier line\r\n");
  AgentProcess agent(folder, {"wine", KIV_WINDOWS_AGENTD_PATH});
  close(connect_loopback(port, 60000));  // wine starts slowly
  EXPECT_EQ(round_trip(port, "relayed"), "relayed");
  agent.hold_output(true);
  int relays = 0;  // each refused relay logs four lines, some 200 bytes: 400 overfill a pipe
  for (int fd; relays < 400 && receive_to_end(fd = connect_loopback(refused, 30000)) == 0; ++relays) close(fd);
  EXPECT_EQ(relays, 400) << "a relay did not end";
  int client = connect_loopback(control, 30000);
  EXPECT_EQ((receive(client, 16), send_bytes(client, "RESET\r\n"), receive(client)), "RESET OK\n");
  close(client);
  agent.hold_output(false);
  ASSERT_TRUE(agent.wait_for_event("S2 - Connection closed(-1)", 400));
  EXPECT_EQ(agent.event_count("Can't connect to host: 127.0.0.1 10061"), 400);  // WSAECONNREFUSED
  // The rows start in order: once the last has logged its start, the restart has logged all.
  const std::string last_start = "Start new thread: S2 " + std::to_string(refused) +
                                 "/127.0.0.1/" + std::to_string(nowhere);
  ASSERT_TRUE(agent.wait_for_event(last_start, 2, 60000));
  agent.signal(SIGINT);  // what wine makes of Ctrl+C in a console
  EXPECT_EQ(agent.wait_exit(60000), 0);
  std::string log = folder.read("kiv.log");
  EXPECT_EQ(log.rfind("Earlier line\r\n", 0), 0u);
  for (const std::string& line : agent.lines()) EXPECT_NE(log.find(line + "\r\n"), std::string::npos) << line;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), static_cast<long>(agent.lines().size()) + 1);
}

// Relays hold no thread while they wait: 300 open at once, each echoing.
TEST(AgentUnderWine, HoldsThreeHundredRelaysAtOnce) {
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("S1", port, remote.port()));
  AgentProcess agent(folder, {"wine", KIV_WINDOWS_AGENTD_PATH});
  close(connect_loopback(port, 60000));  // wine starts slowly
  std::vector<int> clients;
  for (int i = 0; i < 300; ++i) {
    clients.push_back(connect_loopback(port, 30000));
    ASSERT_TRUE(send_bytes(clients.back(), "x")) << "client " << i;
  }
  int echoed = 0;
  for (int fd : clients) echoed += receive(fd, 1) == "x";
  EXPECT_EQ(echoed, 300);
  for (int fd : clients) close(fd);
}

// Clients and hosts of both families, bytes intact both ways through WINDOWS too;
// kiv.access refuses.
TEST(AgentUnderWine, RelaysBothFamiliesAndFollowsKivAccess) {
  KIV_REQUIRE_IPV6();
  ReplayingRemote four("127.0.0.1"), six("::1");
  TempFolder folder;
  uint16_t to_four = free_port(), to_six = free_port();
  folder.write("kiv.cnf", config_line("S4", to_four, four.port(), "127.0.0.1", "WINDOWS") +
                              config_line("S6", to_six, six.port(), "::1"));
  folder.write("kiv.access", "S6 deny 127.0.0.2\n");
  AgentProcess agent(folder, {"wine", KIV_WINDOWS_AGENTD_PATH});
  close(connect_loopback(to_four, 60000));  // wine starts slowly
  const std::string data = every_byte_value() + random_bytes(20000, 29);
  const std::string written = translated(data, kiv::WINDOWS_WRITE_TABLE);
  EXPECT_EQ(session("::1", to_four, data), translated(written, kiv::WINDOWS_READ_TABLE));
  EXPECT_EQ(four.received(), written) << "what the IPv4 host got from an IPv6 client";
  EXPECT_EQ(session("127.0.0.1", to_six, data), data);
  EXPECT_EQ(six.received(), data) << "what the IPv6 host got from an IPv4 client";
  int refused = connect_to("127.0.0.1", to_six, "127.0.0.2");
  receive_to_end(refused);  // wine shows the reset as an end of data
  close(refused);
  EXPECT_TRUE(agent.wait_for_event("S6 Refused 127.0.0.2", 1, 60000));
  EXPECT_EQ(agent.event_count("S6 Connected"), 1) << "a refused client is never relayed";
}

}  // namespace
}  // namespace kiv_test
