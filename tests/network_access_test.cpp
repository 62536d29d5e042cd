// A real kiv-agentd serving clients of both address families and reaching hosts by name, and
// kiv.access deciding where its services listen and whom they take.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "forward/conversion_tables.h"
#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/name_service.h"
#include "tests/translated.h"

namespace kiv_test {
namespace {

// Each way through WINDOWS takes its own table; six.test has an IPv6 address only.
TEST(BothFamilies, IPv6ClientsReachIPv4HostsAndIPv4ClientsReachIPv6Hosts) {
  KIV_REQUIRE_IPV6();
  ReplayingRemote four("127.0.0.1"), six("::1");
  NameService names("::1 six.test\n");
  TempFolder folder;
  uint16_t to_four = free_port(), to_six = free_port();
  folder.write("kiv.cnf", config_line("S4", to_four, four.port(), "127.0.0.1", "WINDOWS") +
                              config_line("S6", to_six, six.port(), "six.test"));
  AgentProcess agent(folder, names.command({KIV_AGENTD_PATH}));
  const std::string data = random_bytes(100000, 23);
  const std::string written = translated(data, kiv::WINDOWS_WRITE_TABLE);
  EXPECT_EQ(session("::1", to_four, data), translated(written, kiv::WINDOWS_READ_TABLE));
  EXPECT_EQ(four.received(), written) << "what the IPv4 host got from an IPv6 client";
  EXPECT_EQ(session("127.0.0.1", to_six, data), data) << "the IPv6 host's echo to an IPv4 client";
}

// two.test is 127.0.0.1, then 127.0.0.2, where the remote hosts listen. At 127.0.0.1 one of
// their ports refuses and the other drops connection requests (a listener whose backlog is
// full): either way the client goes on to the next address. Lookups that hang (unknown.test)
// hold up neither an open relay nor another service's client, and a reset waits for them
// only for its grace.
TEST(HostNames, ClientsReachTheFirstAddressThatAnswersAndHangingLookupsHoldUpNobody) {
  LoopbackServer refusing_first(echo_handler, "127.0.0.2");
  LoopbackServer silent_first(echo_handler, "127.0.0.2");
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, htons(silent_first.port()), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 0), 0);
  int queued = connect_loopback(silent_first.port());  // fills the backlog
  NameService names("127.0.0.1 two.test\n127.0.0.2 two.test\n");
  TempFolder folder;
  uint16_t refused = free_port(), dropped = free_port(), hanging = free_port();
  folder.write("kiv.cnf", config_line("R", refused, refusing_first.port(), "two.test") +
                              config_line("D", dropped, silent_first.port(), "two.test") +
                              config_line("H", hanging, refusing_first.port(), "unknown.test"));
  AgentProcess agent(folder, names.command({KIV_AGENTD_PATH}));
  int relayed = connect_loopback(refused);
  ASSERT_TRUE(send_bytes(relayed, "a") && receive(relayed, 1) == "a") << "past the refusal";
  std::vector<int> waiting;
  for (int i = 0; i < 12; ++i) waiting.push_back(connect_loopback(hanging));
  ASSERT_TRUE(agent.wait_for_event("H Connected", 2));
  auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(send_bytes(relayed, "b") && receive(relayed, 1) == "b");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(3))
      << "an open relay waited for the lookups";
  close(relayed);
  asked = std::chrono::steady_clock::now();
  EXPECT_EQ(session("127.0.0.1", dropped, "past the silence"), "past the silence");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5))
      << "a new client waited for the lookups or for the silent address's bound";
  EXPECT_EQ(agent.event_count("Can't get IP address for unknown.test"), 0) << "no lookup hung";
  asked = std::chrono::steady_clock::now();
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV..."));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5))
      << "the reset waited for the lookups";
  for (int fd : waiting) close(fd);
  close(queued);
  close(silent);
}

// A reset gives a client whose remote host is still being looked up the
// grace a connect has: the name server's late answer gets it relayed.
TEST(HostNames, AResetLetsALookupUnderWayFinish) {
  LoopbackServer remote(echo_handler);
  NameService names("", 500);
  TempFolder folder;
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("S", port, remote.port(), "late.test"));
  AgentProcess agent(folder, names.command({KIV_AGENTD_PATH}));
  int client = connect_loopback(port);
  ASSERT_TRUE(agent.wait_for_event("S Connected")) << "the lookup began";
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  EXPECT_TRUE(send_bytes(client, "x"));
  EXPECT_EQ(receive(client, 1), "x") << "the reset cut a client while its host was looked up";
  close(client);
  EXPECT_TRUE(agent.wait_for_event("Resetting KIV..."));
}

// S listens at 127.0.0.1 only and relays to T on the same port, which listens at 127.0.0.2 and
// ::1: that is a chain, not a loop. The control port, too, listens where kiv.access says.
TEST(AccessFile, ServicesListenOnTheirListenAddressesOnly) {
  KIV_REQUIRE_IPV6();
  LoopbackServer echo(echo_handler);
  TempFolder folder;
  uint16_t port = free_port(), control = free_port();
  folder.write("kiv.cnf", config_line("S", port, port, "127.0.0.2") +
                              config_line("T", port, echo.port()) +
                              config_line("KIV", control, control, "0.0.0.0"));
  folder.write("kiv.access",
               "S listen 127.0.0.1\nT listen 127.0.0.2\nT listen ::1\nKIV listen ::1\n");
  AgentProcess agent(folder);
  EXPECT_EQ(session("127.0.0.1", port, "through S"), "through S");
  EXPECT_TRUE(agent.wait_for_event("T Connected")) << "S reached no T";
  EXPECT_EQ(session("::1", port, "to T"), "to T") << "the second of T's listen addresses";
  EXPECT_EQ(connect_to("127.0.0.3", port, "127.0.0.3", 0), -1) << "a service listens anywhere";
  int client = connect_to("::1", control);
  EXPECT_EQ(receive(client, 16), "KIV Agent v1.4b\n") << "the control port at its address";
  close(client);
  EXPECT_EQ(connect_to("127.0.0.1", control, "", 0), -1) << "the control port listens anywhere";
}

// kiv.access is read at start and at each reset, not between. A client it refuses is reset
// without a byte (a relayed one would wait for its echo) and logged; another address is served.
TEST(AccessFile, AChangedFileTakesEffectAtTheNextResetAndARefusedClientIsResetAndLogged) {
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t control = free_port(), port = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") +
                              config_line("S", port, remote.port()));
  AgentProcess agent(folder);
  EXPECT_EQ(round_trip(port, "a"), "a");
  folder.write("kiv.access", "S deny 127.0.0.2\n");
  int early = connect_to("127.0.0.1", port, "127.0.0.2");
  EXPECT_TRUE(send_bytes(early, "b") && receive(early, 1) == "b") << "refused before the reset";
  close(early);
  EXPECT_EQ(round_trip(control, "RESET\r\n"), "KIV Agent v1.4b\nRESET OK\n");
  ASSERT_TRUE(agent.wait_for_event("Start new thread: S " + std::to_string(port) + "/127.0.0.1/" +
                                   std::to_string(remote.port()), 2));
  int refused = connect_to("127.0.0.1", port, "127.0.0.2");
  // Nothing is sent: a send that met the reset would take its error away from the read.
  EXPECT_EQ(receive_to_end(refused), ECONNRESET) << "a refused client is relayed";
  close(refused);
  EXPECT_TRUE(agent.wait_for_event("S Refused 127.0.0.2"));
  EXPECT_EQ(round_trip(port, "c"), "c") << "another address is admitted";
}

}  // namespace
}  // namespace kiv_test
