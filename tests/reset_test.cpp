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

// A reset waits for the open connection, which still relays, and takes nobody
// new meanwhile; a SIGHUP then restarts from the kiv.cnf found at that moment.
TEST(Reset, WaitsForOpenConnectionsAndAHangupReloadsTheConfiguration) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t control = free_port(), port = free_port(), new_port = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") + config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  int held = connect_loopback(port);
  ASSERT_EQ((send_bytes(held, "a"), receive(held, 1)), "a");
  int order = connect_loopback(control);
  EXPECT_EQ((receive(order, 16), send_bytes(order, "RESET\r\n"), receive(order)), "RESET OK\n");
  close(order);
  ASSERT_TRUE(agent.wait_for_event("KIV Port thread Closed"));
  sleep(2);
  int waiting = connect_loopback(port, 1000);
  if (waiting >= 0) {
    set_receive_timeout(waiting, 2000);
    EXPECT_EQ((send_bytes(waiting, "b"), receive(waiting, 1)), "");
    close(waiting);
  }
  EXPECT_EQ(agent.event_count("Resetting KIV..."), 0);
  ASSERT_EQ((send_bytes(held, "c"), receive(held, 1)), "c");
  shutdown(held, SHUT_WR);
  receive(held);
  close(held);
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV..."));
  EXPECT_EQ(round_trip(port, "after"), "after");

  folder.write("kiv.cnf", config_line("NEW", new_port, remote.port()));
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(0)", 2));
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 2));
  EXPECT_EQ(round_trip(new_port, "new"), "new");
  EXPECT_EQ(connect_loopback(port, 500), -1);
}

}  // namespace
}  // namespace kiv_test
