// Forwarded services of a real kiv-agentd, as their clients and remote hosts see them.

#include <gtest/gtest.h>

#include <future>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

// Cyrillic from the client in Windows-1251 reaches a remote host named by
// name in KOI8-R, and the remote host's KOI8-R reaches the client in
// Windows-1251; the rest passes, but for the remote host's 0x9F.
TEST(Relay, TranslatesBothWaysToAHostGivenByName) {
  std::promise<std::string> at_remote;
  LoopbackServer remote([&at_remote](int fd) {
    send_bytes(fd, "\xE1\xC1\xC0\xFF\xA3\xB3\x9F\x41");
    at_remote.set_value(receive(fd));
  });
  TempFolder folder;
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("S1", port, remote.port(), "localhost", "WINDOWS"));
  AgentProcess agent(folder);
  EXPECT_EQ(round_trip(port, "\xC0\xE0\xFF\xB8\xA8\x9F\x41"), "\xC0\xE0\xFE\xDA\xB8\xA8\xEA\x41");
  EXPECT_EQ(at_remote.get_future().get(), "\xE1\xC1\xD1\xA3\xB3\x9F\x41");
}

}  // namespace
}  // namespace kiv_test
