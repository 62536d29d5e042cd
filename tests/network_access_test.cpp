// A real kiv-agentd serving clients of both address families, and kiv.access
// deciding where its services listen and whom they take.

#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include "forward/conversion_tables.h"
#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/translated.h"

namespace kiv_test {
namespace {

// Whether a client from `from` to `to` is reset by the agent without a byte.
bool reset_at_once(const std::string& to, uint16_t port, const std::string& from = "") {
  int fd = connect_to(to, port, from);
  if (fd < 0) return false;
  // Nothing is sent: a send that met the reset would take its error away from the read.
  bool reset = receive_to_end(fd) == ECONNRESET;
  close(fd);
  return reset;
}

// Whether nothing listens at `to`:`port` (from `from`): the system refuses the connect.
bool not_listening(const std::string& to, uint16_t port, const std::string& from = "") {
  int fd = connect_to(to, port, from, 0);
  if (fd >= 0) close(fd);
  return fd < 0;
}

TEST(BothFamilies, IPv6ClientsReachIPv4HostsAndIPv4ClientsReachIPv6Hosts) {
  KIV_REQUIRE_IPV6();
  ReplayingRemote four("127.0.0.1"), six("::1");
  TempFolder folder;
  uint16_t to_four = free_port(), to_six = free_port();
  folder.write("kiv.cnf", config_line("S4", to_four, four.port(), "127.0.0.1", "WINDOWS") +
                              config_line("S6", to_six, six.port(), "::1"));
  AgentProcess agent(folder);
  const std::string data = every_byte_value() + random_bytes(100000, 23);
  const std::string written = translated(data, kiv::WINDOWS_WRITE_TABLE);
  EXPECT_EQ(session("::1", to_four, data), translated(written, kiv::WINDOWS_READ_TABLE));
  EXPECT_EQ(four.received(), written) << "what the IPv4 host got from an IPv6 client";
  EXPECT_EQ(session("127.0.0.1", to_six, data), data);
  EXPECT_EQ(six.received(), data) << "what the IPv6 host got from an IPv4 client";
}

TEST(BothFamilies, AHostNameIsReachedAtTheFirstOfItsAddressesThatAnswers) {
  KIV_REQUIRE_IPV6();
  if (!localhost_is_ipv6_then_ipv4()) GTEST_SKIP() << "localhost is not ::1, then 127.0.0.1 here";
  // Only the second of localhost's addresses answers.
  ReplayingRemote remote("127.0.0.1");
  TempFolder folder;
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("S", port, remote.port(), "localhost"));
  AgentProcess agent(folder);
  EXPECT_EQ(session("127.0.0.1", port, "hello"), "hello");
}

TEST(AccessFile, ServicesListenOnTheirListenAddressesOnly) {
  KIV_REQUIRE_IPV6();
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t port = free_port(), two = free_port();
  folder.write("kiv.cnf", config_line("S", port, remote.port()) +
                              config_line("T", two, remote.port()));
  folder.write("kiv.access", "S listen 127.0.0.1\nT listen ::1\nT listen 127.0.0.2\n");
  AgentProcess agent(folder);
  EXPECT_EQ(round_trip(port, "x"), "x");
  EXPECT_TRUE(not_listening("::1", port));
  EXPECT_TRUE(not_listening("127.0.0.2", port, "127.0.0.2"));
  EXPECT_EQ(session("::1", two, "y"), "y") << "the first of two listen addresses";
  EXPECT_EQ(session("127.0.0.2", two, "z"), "z") << "the second of two listen addresses";
  EXPECT_TRUE(not_listening("127.0.0.1", two));
}

TEST(AccessFile, TheFirstMatchingRuleDecidesAndARefusedClientIsResetAndLogged) {
  KIV_REQUIRE_IPV6();
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("S", port, remote.port()));
  folder.write("kiv.access", "S deny 127.0.0.2\nS allow 127.0.0.0/8\n* deny 127.0.0.3\n");
  AgentProcess agent(folder);
  EXPECT_TRUE(reset_at_once("127.0.0.1", port, "127.0.0.2"));
  EXPECT_TRUE(agent.wait_for_event("S Refused 127.0.0.2"));
  int admitted = connect_to("127.0.0.1", port, "127.0.0.3");
  EXPECT_EQ((send_bytes(admitted, "y"), receive(admitted, 1)), "y") << "allowed before the deny";
  close(admitted);
  EXPECT_TRUE(reset_at_once("::1", port)) << "an allow refuses whom no rule admits";
  EXPECT_TRUE(agent.wait_for_event("S Refused ::1"));
  EXPECT_EQ(agent.event_count("S Connected"), 1) << "a refused client is never relayed";
}

TEST(AccessFile, AChangedFileTakesEffectAtTheNextResetAndNotBefore) {
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t control = free_port(), port = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") +
                              config_line("S", port, remote.port()));
  AgentProcess agent(folder);
  EXPECT_EQ(round_trip(port, "a"), "a");
  folder.write("kiv.access", "S deny *\n");
  EXPECT_EQ(round_trip(port, "b"), "b") << "before the reset";
  int client = connect_loopback(control);
  EXPECT_EQ((receive(client, 16), send_bytes(client, "RESET\r\n"), receive(client)), "RESET OK\n");
  close(client);
  ASSERT_TRUE(agent.wait_for_event("Start new thread: S " + std::to_string(port) + "/127.0.0.1/" +
                                   std::to_string(remote.port()), 2));
  EXPECT_TRUE(reset_at_once("127.0.0.1", port));
  EXPECT_TRUE(agent.wait_for_event("S Refused 127.0.0.1"));
}

TEST(AccessFile, TwoLinesConfineTheControlPortToThisMachinesLoopbackAddresses) {
  KIV_REQUIRE_IPV6();
  TempFolder folder;
  uint16_t control = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0"));
  folder.write("kiv.access", "KIV listen 127.0.0.1\nKIV listen ::1\n");
  AgentProcess agent(folder);
  for (const char* address : {"127.0.0.1", "::1"}) {
    int client = connect_to(address, control);
    EXPECT_EQ(receive(client, 16), "KIV Agent v1.4b\n") << address;
    EXPECT_EQ((send_bytes(client, "QUIT"), receive(client)), "KIV QUIT.\n") << address;
    close(client);
  }
  EXPECT_TRUE(not_listening("127.0.0.2", control, "127.0.0.2"));
}

}  // namespace
}  // namespace kiv_test
