// Relays of a real kiv-agentd under peers that stall, reset and chain: each
// ends as the operator would expect, and a reset that follows completes.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <future>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

// Sends without waiting until the socket has taken all it can for a while:
// every buffer between it and a peer that reads nothing is full.
void fill_until_stalled(int fd) {
  const std::string chunk(65536, 'f');
  for (int stalls = 0, rounds = 0; stalls < 5 && rounds < 100000; ++rounds) {
    if (send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
      stalls = 0;
    } else {
      ++stalls;
      usleep(100 * 1000);
    }
  }
}

// A reset ordered on the control port completes: no relay is left behind.
void expect_reset_completes(AgentProcess& agent, uint16_t control_port) {
  int control = connect_loopback(control_port);
  EXPECT_EQ((receive(control, 16), send_bytes(control, "RESET\r\n"), receive(control)),
            "RESET OK\n");
  close(control);
  EXPECT_TRUE(agent.wait_for_event("Resetting KIV...", 1, 20000))
      << "a relay stayed open after its peer's reset";
}

struct StalledRelay : testing::Test {
  uint16_t port = free_port();
  uint16_t control_port = free_port();
  TempFolder folder;

  void start(uint16_t remote_port) {
    folder.write("kiv.cnf", config_line("S1", port, remote_port) +
                                config_line("KIV", control_port, control_port, "0.0.0.0"));
  }
};

// The remote host floods a client that reads nothing, so the Read direction
// waits for room to send; then the remote host resets.
TEST_F(StalledRelay, ARemoteResetEndsARelayWaitingToSendToItsClient) {
  std::promise<void> flooded;
  LoopbackServer remote([&](int fd) {
    fill_until_stalled(fd);
    reset_on_close(fd);
    flooded.set_value();
  });
  start(remote.port());
  AgentProcess agent(folder);
  int client = connect_loopback(port, 10000, 4096);
  ASSERT_GE(client, 0);
  ASSERT_EQ(flooded.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", 1, 20000));
  EXPECT_EQ(receive_to_end(client), ECONNRESET) << "the client must see the remote's reset";
  close(client);
  expect_reset_completes(agent, control_port);
}

// A client fills every buffer toward a remote host that reads nothing, so the
// Write direction waits for room to send; then the client resets.
TEST_F(StalledRelay, AClientResetEndsARelayWaitingToSendToItsRemoteHost) {
  std::promise<void> client_reset;
  std::promise<int> remote_end;
  LoopbackServer remote([&](int fd) {
    client_reset.get_future().wait();
    remote_end.set_value(receive_to_end(fd));
  });
  start(remote.port());
  AgentProcess agent(folder);
  int client = connect_loopback(port);
  ASSERT_GE(client, 0);
  fill_until_stalled(client);
  close_with_reset(client);
  EXPECT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", 1, 20000))
      << "nobody reads the client's socket: its reset must still end the relay";
  client_reset.set_value();
  EXPECT_EQ(remote_end.get_future().get(), ECONNRESET)
      << "the remote host must see a reset, never an orderly end";
  expect_reset_completes(agent, control_port);
}

// A client that arrives while a reload waits for an open relay reaches the
// host its service was started with, or nothing; never the new host.
TEST(Reload, ClientsBeforeTheRestartReachTheOldHostOnly) {
  auto greeter = [](const char* name) {
    return [name](int fd) {
      send_bytes(fd, name);
      receive_to_end(fd);
    };
  };
  LoopbackServer old_host(greeter("old")), new_host(greeter("new"));
  uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, old_host.port()));
  AgentProcess agent(folder);
  int held = connect_loopback(port);
  ASSERT_EQ(receive(held, 3), "old");
  folder.write("kiv.cnf", config_line("S1", port, new_host.port()));
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  std::vector<int> arriving;  // the new row is in the table, the old listener still open
  for (int i = 0; i < 10; ++i) arriving.push_back(connect_loopback(port));
  close(held);
  for (int fd : arriving) {
    std::string greeting = receive(fd, 3);
    EXPECT_NE(greeting, "new") << "a client relayed to a host the running service was not given";
    close(fd);
  }
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 1, 30000));
  EXPECT_TRUE(eventually([&] {
    int fd = connect_loopback(port);
    bool reached = receive(fd, 3) == "new";
    close(fd);
    return reached;
  }));
}

// A service may forward to another service of the same agent; only a
// connection that comes back to a service of its own chain is refused.
TEST(ServiceChain, ChainedServicesRelayAndOnlyARealLoopIsRefused) {
  LoopbackServer echo(echo_handler);
  uint16_t a = free_port(), b = free_port(), c = free_port(), d = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("A", a, b) + config_line("B", b, echo.port()) +
                              config_line("C", c, d) + config_line("D", d, c));
  AgentProcess agent(folder);
  for (uint16_t p : {a, b, c, d}) ASSERT_TRUE(eventually([p] { return port_listening(p); }));
  EXPECT_EQ(round_trip(a, "through two services"), "through two services");
  EXPECT_EQ(round_trip(c, "in a circle"), "");
  const std::string c_text = std::to_string(c), d_text = std::to_string(d);
  EXPECT_TRUE(agent.wait_for_event("Can't connect to host: 127.0.0.1 " + c_text +
                                   " loops back to this agent (C " + c_text + " -> D " + d_text +
                                   " -> " + c_text + ")"));
}

}  // namespace
}  // namespace kiv_test
