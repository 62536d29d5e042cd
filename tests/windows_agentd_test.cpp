// kiv-agentd.exe of the Windows build, run under wine with real loopback
// sockets: what Windows Sockets and Windows text files change, seen from outside.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

// One agent: a relay through the WINDOWS table both ways, a refused remote
// host, then many refused relays and the control port while nobody reads its
// standard error (a paused console), then Ctrl+C with the log appended in CR LF lines.
TEST(AgentUnderWine, RelaysControlsAndLogsTheWindowsWay) {
  // "Привет" in Windows-1251 on the client's side, in KOI8-R on the remote host's.
  const std::string windows_word = "\xCF\xF0\xE8\xE2\xE5\xF2", koi8_word = "\xF0\xD2\xC9\xD7\xC5\xD4";
  std::promise<std::string> at_remote;
  LoopbackServer remote([&](int fd) {
    send_bytes(fd, koi8_word);
    at_remote.set_value(receive(fd));
  });
  TempFolder folder;
  uint16_t control = free_port(), port = free_port(), refused = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") +
                              config_line("S1", port, remote.port(), "127.0.0.1", "WINDOWS") +
                              config_line("S2", refused, free_port()));
  folder.write("kiv.log", "Earlier line\r\n");
  AgentProcess agent(folder, {"wine", KIV_WINDOWS_AGENTD_PATH});

  int client = connect_loopback(port, 30000);
  send_bytes(client, windows_word);
  shutdown(client, SHUT_WR);
  EXPECT_EQ(receive(client), windows_word);
  close(client);
  EXPECT_EQ(at_remote.get_future().get(), koi8_word);
  EXPECT_EQ(round_trip(refused, ""), "");
  ASSERT_TRUE(agent.wait_for_event("S2 - Connection closed(-1)"));
  EXPECT_EQ(agent.event_count("Can't connect to host: 127.0.0.1 10061"), 1);  // WSAECONNREFUSED

  agent.hold_output(true);
  // Each refused relay logs four lines, some 200 bytes: 400 overfill a pipe.
  for (int relay = 0; relay < 400; ++relay) {
    client = connect_loopback(refused, 30000);
    set_receive_timeout(client, 5000);
    ASSERT_EQ(receive_to_end(client), 0) << "relay " << relay << " held up";
    close(client);
  }
  client = connect_loopback(control, 30000);
  EXPECT_EQ(receive(client, 16), "KIV Agent v1.4b\n");
  send_bytes(client, "HELP\r\n");
  EXPECT_EQ(receive(client, 54), "KIV Commands: Help, Reset, Shut, Restart, Stat, Quit.\n");
  send_bytes(client, "RESET\r\n");
  EXPECT_EQ(receive(client), "RESET OK\n");
  close(client);
  agent.hold_output(false);
  ASSERT_TRUE(agent.wait_for_event("S2 - Connection closed(-1)", 401));
  ASSERT_TRUE(agent.wait_for_event("KIV port thread created", 2));
  agent.signal(SIGINT);  // what wine makes of Ctrl+C in a console
  EXPECT_EQ(agent.wait_exit(20000), 0);
  // Every line echoed was appended with CR LF (threads starting together
  // may order the echo and the file differently).
  std::string log = folder.read("kiv.log"), expected = "Earlier line\r\n";
  for (const std::string& line : agent.lines()) {
    expected += line + "\r\n";
    ASSERT_NE(log.find(line + "\r\n"), std::string::npos) << line;
  }
  EXPECT_EQ(log.rfind("Earlier line\r\n", 0), 0u);
  EXPECT_EQ(log.size(), expected.size());
}

}  // namespace
}  // namespace kiv_test
