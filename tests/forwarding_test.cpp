// Forwarded services driven through a real kiv-agentd on loopback.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

std::string all_bytes() {
  std::string bytes(256, '\0');
  for (int b = 0; b < 256; ++b) bytes[b] = static_cast<char>(b);
  return bytes;
}

// A remote host that records what it receives, then answers with `reply`
// and closes once the client's side has ended.
struct RecordingRemote {
  explicit RecordingRemote(std::string reply_bytes)
      : reply(std::move(reply_bytes)), server([this](int fd) {
          send_bytes(fd, reply);
          std::string got = receive_until_closed(fd);
          std::lock_guard<std::mutex> lock(guard);
          received = got;
        }) {}
  std::string taken() {
    std::lock_guard<std::mutex> lock(guard);
    return received;
  }
  std::string reply;
  std::mutex guard;
  std::string received;
  LoopbackServer server;
};

struct Relayed {
  std::string at_remote;
  std::string at_client;
};

// Sends `client_bytes` through a one-service agent using `table`, while the
// remote host sends `remote_bytes`; returns what each side received.
Relayed relay_through(TempFolder& folder, const std::string& table,
                      const std::string& client_bytes, const std::string& remote_bytes) {
  RecordingRemote remote(remote_bytes);
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("S1", port, remote.server.port(), "127.0.0.1", table, 1));
  AgentProcess agent(folder);
  int client = connect_loopback(port);
  EXPECT_GE(client, 0);
  send_bytes(client, client_bytes);
  shutdown(client, SHUT_WR);
  Relayed relayed;
  relayed.at_client = receive_until_closed(client);
  close(client);
  EXPECT_TRUE(agent.wait_for_event("S1 - Connection closed(0)"));
  relayed.at_remote = remote.taken();
  return relayed;
}

TEST(TranslationTables, WindowsConvertsCyrillicBetweenKoi8AndWindows1251) {
  TempFolder folder;
  // "Привет" in Windows-1251 from the client; "Привет" in KOI8-R from the remote host.
  const std::string windows_word = "\xCF\xF0\xE8\xE2\xE5\xF2";
  const std::string koi8_word = "\xF0\xD2\xC9\xD7\xC5\xD4";
  Relayed relayed = relay_through(folder, "WINDOWS", all_bytes() + windows_word,
                                  koi8_word + "\xE1\x9F\xC0\xFF\xA3\xB3");
  ASSERT_EQ(relayed.at_remote.size(), 256u + 6u);
  // Below 0xC0 nothing changes; 0xC0..0xFF is a permutation of itself.
  EXPECT_EQ(relayed.at_remote.substr(0, 0xC0), all_bytes().substr(0, 0xC0));
  std::string letters = relayed.at_remote.substr(0xC0, 64);
  std::sort(letters.begin(), letters.end());
  EXPECT_EQ(letters, all_bytes().substr(0xC0));
  EXPECT_EQ(relayed.at_remote[0xC0], '\xE1');
  EXPECT_EQ(relayed.at_remote[0xE0], '\xC1');
  EXPECT_EQ(relayed.at_remote.substr(256), koi8_word);
  EXPECT_EQ(relayed.at_client, windows_word + "\xC0\xEA\xFE\xDA\xA3\xB3");
}

TEST(TranslationTables, PairFromFileUsesItsFirst512Bytes) {
  TempFolder folder;
  std::string file(600, '\x55');
  for (int b = 0; b < 256; ++b) {
    file[b] = static_cast<char>(255 - b);          // remote to client: inverted
    file[256 + b] = static_cast<char>((b + 1) & 0xFF);  // client to remote: +1
  }
  folder.write("X.ctb", file);
  Relayed relayed = relay_through(folder, "X", "abc\xFF", std::string("\x00\x01\xFF", 3));
  EXPECT_EQ(relayed.at_remote, std::string("bcd\x00", 4));
  EXPECT_EQ(relayed.at_client, std::string("\xFF\xFE\x00", 3));
}

std::vector<std::string> events_from(AgentProcess& agent, const std::string& first) {
  std::vector<std::string> events = agent.events();
  auto start = std::find(events.begin(), events.end(), first);
  return std::vector<std::string>(start, events.end());
}

TEST(RelayLog, LinesOfAnOrderlyRelayComeInOrder) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("S1", port, remote.port(), "127.0.0.1", "NONE", 1));
  AgentProcess agent(folder);
  int client = connect_loopback(port);
  ASSERT_GE(client, 0);
  send_bytes(client, "ping");
  EXPECT_EQ(receive_exactly(client, 4), "ping");
  shutdown(client, SHUT_WR);
  EXPECT_EQ(receive_until_closed(client), "");
  close(client);
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(0)"));
  std::vector<std::string> expected = {"S1 Connected", "S1 Write - Shutdown", "S1 Read - Shutdown",
                                       "S1 - Connection closed(0)"};
  EXPECT_EQ(events_from(agent, "S1 Connected"), expected);
}

TEST(RelayLog, UnknownHostsAreReportedByName) {
  TempFolder folder;
  uint16_t port = free_port();
  uint16_t second = free_port();
  folder.write("kiv.cnf", config_line("S1", port, 80, "255.255.255.255", "NONE", 1) +
                              config_line("S2", second, 80, "9.bad.name", "NONE", 1));
  AgentProcess agent(folder);
  for (uint16_t each : {port, second}) {
    int client = connect_loopback(each);
    ASSERT_GE(client, 0);
    EXPECT_EQ(receive_until_closed(client), "");
    close(client);
  }
  EXPECT_TRUE(agent.wait_for_event("Can't get IP address for 255.255.255.255"));
  EXPECT_TRUE(agent.wait_for_event("Can't get IP address for 9.bad.name"));
  EXPECT_TRUE(agent.wait_for_event("S2 - Connection closed(-1)"));
}

TEST(Listener, PortAlreadyInUseEndsTheListener) {
  TempFolder folder;
  LoopbackServer holder(echo_handler);
  // A live listener on every address holds the port; the agent must not steal it.
  int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  listen(taken, 1);
  socklen_t length = sizeof address;
  getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
  uint16_t port = ntohs(address.sin_port);
  folder.write("kiv.cnf", config_line("S1", port, holder.port(), "127.0.0.1", "NONE", 1));
  AgentProcess agent(folder);
  ASSERT_TRUE(agent.wait_for_event("S1 - thread Closed"));
  std::vector<std::string> events = events_from(agent, "Can't bind: 98");
  std::vector<std::string> expected = {"Can't bind: 98", "S1 Error: Select 10038",
                                       "S1 - thread Closed"};
  EXPECT_EQ(events, expected);
  close(taken);
}

}  // namespace
}  // namespace kiv_test
