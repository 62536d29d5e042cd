// Resets of a real kiv-agentd: ordered on the control port or by SIGHUP,
// waiting for open connections, and restarting from the configuration.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

TEST(Reset, WaitsForOpenConnectionsThenRestartsEveryService) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t control = free_port();
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") + config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  int held = connect_loopback(port);
  ASSERT_EQ((send_bytes(held, "a"), receive(held, 1)), "a");

  int order = connect_loopback(control);
  EXPECT_EQ(receive(order, 16), "KIV Agent v1.4b\n");
  EXPECT_EQ((send_bytes(order, "RESET\r\n"), receive(order)), "RESET OK\n");
  close(order);
  ASSERT_TRUE(agent.wait_for_event("KIV Port thread Closed"));
  // The listener takes nobody new while the reset waits: this client is not relayed.
  sleep(2);
  int waiting = connect_loopback(port, 1000);
  if (waiting >= 0) {
    set_receive_timeout(waiting, 2000);
    EXPECT_EQ((send_bytes(waiting, "b"), receive(waiting, 1)), "");
    close(waiting);
  }
  EXPECT_EQ(agent.event_count("Resetting KIV..."), 0);
  // The held connection still relays while the reset waits for it.
  ASSERT_EQ((send_bytes(held, "c"), receive(held, 1)), "c");
  shutdown(held, SHUT_WR);
  receive(held);
  close(held);
  ASSERT_TRUE(agent.wait_for_event("S1 - thread Closed"));
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV..."));
  EXPECT_EQ(round_trip(port, "after"), "after");
}

TEST(Reset, HangupReloadsTheConfigurationFile) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t old_port = free_port();
  uint16_t new_port = free_port();
  folder.write("kiv.cnf", config_line("OLD", old_port, remote.port()));
  AgentProcess agent(folder);
  ASSERT_EQ(round_trip(old_port, "old"), "old");
  folder.write("kiv.cnf", config_line("NEW", new_port, remote.port()));
  ASSERT_TRUE(agent.wait_for_event("OLD - Connection closed(0)"));
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV..."));
  EXPECT_EQ(round_trip(new_port, "new"), "new");
  EXPECT_EQ(connect_loopback(old_port, 500), -1);
}

}  // namespace
}  // namespace kiv_test
