// The control port of a real kiv-agentd and the resets it orders, as clients on the wire see them.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

const std::string BANNER = "KIV Agent v1.4b\n";

// Sends `bytes` on `fd` and returns what comes back: `size` bytes, or all until the end.
std::string exchange(int fd, const std::string& bytes, size_t size = std::string::npos) {
  send_bytes(fd, bytes);
  return receive(fd, size);
}

// An agent with its control port and S1, which relays to an echo.
struct ControlPort : testing::Test {
  LoopbackServer remote{echo_handler};
  uint16_t control = free_port();
  uint16_t port = free_port();
  TempFolder folder;

  void SetUp() override {
    folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") +
                                config_line("S1", port, remote.port()));
  }
};

// Replies never wait: a client that sends far more commands than the
// replies' buffers hold, and reads none, holds the control port up no more
// than one that reads them.
TEST_F(ControlPort, NeverWaitsForAClientToReadItsReplies) {
  AgentProcess agent(folder);
  int client = connect_loopback(control, 10000, 4096);
  timeval patience{60, 0};
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  EXPECT_TRUE(send_bytes(client, std::string(80 * 400000, 'x')))
      << "the control port stopped reading";
  close(client);
}

// One control client at a time, each segment of up to 80 bytes a command.
// While a reset waits for the open relay, which goes on relaying, the control
// client kept through it is still answered and the one waiting behind it is
// served before the control port ends; no service takes a client meanwhile.
TEST_F(ControlPort, AResetWaitsForTheOpenRelayAndServesOnlyTheControlClients) {
  const std::string unknown = "Unknown Command\n";
  AgentProcess agent(folder);
  int held = connect_loopback(port);
  ASSERT_EQ(exchange(held, "a", 1), "a") << "the relay that holds the reset";
  int kept = connect_loopback(control);
  EXPECT_EQ(receive(kept, BANNER.size()), BANNER);
  int waiting = connect_loopback(control);
  set_receive_timeout(waiting, 500);
  EXPECT_EQ(receive(waiting, 1), "") << "a second client was served beside the first";
  set_receive_timeout(waiting, 30000);
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  EXPECT_EQ(exchange(kept, std::string(81, 'x'), 2 * unknown.size()), unknown + unknown)
      << "81 bytes are two commands, answered through the reset";
  EXPECT_EQ(exchange(kept, "quit"), "KIV QUIT.\n");
  close(kept);
  EXPECT_EQ(exchange(waiting, "quit"), BANNER + "KIV QUIT.\n") << "the waiting client was dropped";
  close(waiting);
  ASSERT_TRUE(agent.wait_for_event("KIV Port thread Closed"));
  int late = connect_loopback(port, 1000);
  set_receive_timeout(late, 2000);
  EXPECT_EQ(exchange(late, "b", 1), "") << "a client was taken while the reset waits";
  ASSERT_EQ(exchange(held, "c", 1), "c") << "the open relay stopped relaying";
  EXPECT_EQ(agent.event_count("Resetting KIV..."), 0) << "the reset did not wait for the relay";
  close(held);
  EXPECT_TRUE(agent.wait_for_event("Resetting KIV...")) << "the relay's close ends the wait";
  close(late);
}

// A reset asked for while clients' connects to a healthy host are under way
// cuts none of them: each is relayed, and the reset waits for them.
TEST_F(ControlPort, AResetCutsNoConnectToAHealthyHost) {
  AgentProcess agent(folder);
  ASSERT_TRUE(eventually([this] { return echoes(port); }));
  const int probes = agent.event_count("S1 Connected");
  std::vector<int> clients;
  for (int i = 0; i < 100; ++i) clients.push_back(connect_loopback(port));
  agent.signal(SIGHUP);
  int relayed = 0;
  for (int fd : clients) {
    set_receive_timeout(fd, 5000);
    relayed += exchange(fd, "x", 1) == "x";
  }
  for (int fd : clients) close(fd);
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 1, 30000));
  for (const std::string& line : agent.events()) {
    EXPECT_NE(line.rfind("Can't connect to host", 0), 0u) << "a reset cut a connect: " << line;
  }
  EXPECT_EQ(relayed, agent.event_count("S1 Connected") - probes)
      << "a client accepted, not relayed";
}

}  // namespace
}  // namespace kiv_test
