// kiv-agentd.exe of the Windows build, run under wine with real loopback
// sockets: what Windows Sockets and Windows text files change, seen from outside.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <vector>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

const std::vector<std::string> kWineAgent{"wine", KIV_WINDOWS_AGENTD_PATH};

// The texts of `agent`'s log lines after the start-up ones.
std::vector<std::string> events_after_start(AgentProcess& agent) {
  std::vector<std::string> texts;
  for (const std::string& text : agent.events()) {
    if (text != " *** KIV Started ***" && text.rfind("Start new thread: ", 0) != 0) {
      texts.push_back(text);
    }
  }
  return texts;
}

TEST(AgentUnderWine, RelaysThroughTheWindowsTableAndLogsTheWindowsSocketsCode) {
  // "Привет" in Windows-1251 on the client's side, in KOI8-R on the remote host's.
  const std::string windows_word = "\xCF\xF0\xE8\xE2\xE5\xF2";
  const std::string koi8_word = "\xF0\xD2\xC9\xD7\xC5\xD4";
  std::promise<std::string> at_remote;
  LoopbackServer remote([&](int fd) {
    send_bytes(fd, koi8_word);
    at_remote.set_value(receive(fd));
  });
  TempFolder folder;
  uint16_t port = free_port();
  uint16_t refused = free_port();
  folder.write("kiv.cnf",
               config_line("S1", port, remote.port(), "127.0.0.1", "WINDOWS", 1) +
                   config_line("S2", refused, free_port()));
  AgentProcess agent(folder, kWineAgent);

  int client = connect_loopback(port, 30000);
  ASSERT_GE(client, 0);
  send_bytes(client, windows_word);
  shutdown(client, SHUT_WR);
  EXPECT_EQ(receive(client), windows_word);
  close(client);
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(0)"));
  EXPECT_EQ(at_remote.get_future().get(), koi8_word);

  client = connect_loopback(refused, 30000);
  ASSERT_GE(client, 0);
  receive(client);
  close(client);
  ASSERT_TRUE(agent.wait_for_event("S2 - Connection closed(-1)"));

  // As on Linux, but for the code: WSAECONNREFUSED.
  EXPECT_EQ(events_after_start(agent),
            (std::vector<std::string>{"S1 Connected", "S1 Write - Shutdown", "S1 Read - Shutdown",
                                      "S1 - Connection closed(0)", "S2 Connected",
                                      "Can't connect to host: 127.0.0.1 10061",
                                      "Connection ERROR", "S2 - Connection closed(-1)"}));
}

TEST(AgentUnderWine, ControlPortResetsAndCtrlCClosesWithTheLogAppendedInCrLfLines) {
  TempFolder folder;
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("KIV", port, port, "0.0.0.0"));
  folder.write("kiv.log", "Earlier line\r\n");
  AgentProcess agent(folder, kWineAgent);

  int client = connect_loopback(port, 30000);
  ASSERT_GE(client, 0);
  EXPECT_EQ(receive(client, 16), "KIV Agent v1.4b\n");
  send_bytes(client, "HELP\r\n");
  EXPECT_EQ(receive(client, 54), "KIV Commands: Help, Reset, Shut, Restart, Stat, Quit.\n");
  send_bytes(client, "RESET\r\n");
  EXPECT_EQ(receive(client), "RESET OK\n");
  close(client);
  ASSERT_TRUE(agent.wait_for_event("KIV port thread created", 2));
  {
    // A second agent is refused the port. (Wine binds as Linux does: it would
    // refuse it even with the SO_REUSEADDR that lets Windows hand it over.)
    TempFolder second_folder;
    second_folder.write("kiv.cnf", config_line("KIV", port, port, "0.0.0.0"));
    AgentProcess second(second_folder, kWineAgent);
    ASSERT_TRUE(second.wait_for_event("KIV Port thread Closed"));
    // WSAEACCES under wine, the code of a port that another socket holds exclusively.
    EXPECT_EQ(second.events()[2].rfind("Can't bind: ", 0), 0u) << second.events()[2];
  }

  agent.signal(SIGINT);  // what wine makes of Ctrl+C in a console
  EXPECT_EQ(agent.wait_exit(20000), 0);
  std::string log = folder.read("kiv.log");
  std::string expected = "Earlier line\r\n";
  for (const std::string& line : agent.lines()) expected += line + "\r\n";
  EXPECT_EQ(log, expected) << "every line echoed, then appended with CR LF";
  EXPECT_NE(log.find(": Resetting KIV...\r\n"), std::string::npos);
}

// A standard error that nobody reads (a paused console, a stuck pipe) holds
// up neither relays nor the control port: more lines than a pipe takes are
// logged while it is held, and all arrive once it is read again.
TEST(AgentUnderWine, UnreadStandardErrorHoldsNothingUp) {
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t refused = free_port();
  uint16_t served = free_port();
  folder.write("kiv.cnf", config_line("S1", refused, free_port()) +
                              config_line("S2", served, remote.port()));
  AgentProcess agent(folder, kWineAgent);
  ASSERT_TRUE(agent.wait_for_event("Start new thread: S2 " + std::to_string(served) +
                                   "/127.0.0.1/" + std::to_string(remote.port())));
  agent.hold_output(true);
  // Each refused relay logs four lines, some 200 bytes: 400 overfill a pipe.
  for (int relay = 0; relay < 400; ++relay) {
    int client = connect_loopback(refused, 30000);
    ASSERT_GE(client, 0);
    set_receive_timeout(client, 5000);
    ASSERT_EQ(receive_to_end(client), 0) << "relay " << relay << " not ended";
    close(client);
  }
  EXPECT_TRUE(echoes(served));
  agent.hold_output(false);
  EXPECT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", 400));
}

}  // namespace
}  // namespace kiv_test
