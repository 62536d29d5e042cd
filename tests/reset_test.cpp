// Resets of a real kiv-agentd: ordered on the control port or by SIGHUP,
// waiting for open connections, and restarting from the configuration.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

void order_reset(uint16_t control_port) {
  int fd = connect_loopback(control_port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(receive_exactly(fd, 16), "KIV Agent v1.4b\n");
  send_bytes(fd, "RESET\r\n");
  ASSERT_EQ(receive_exactly(fd, 9), "RESET OK\n");
  close(fd);
}

bool echoes(uint16_t port, const std::string& text) {
  int fd = connect_loopback(port);
  if (fd < 0) return false;
  send_bytes(fd, text);
  bool answered = receive_exactly(fd, text.size()) == text;
  close(fd);
  return answered;
}

TEST(Reset, WaitsForOpenConnectionsThenRestartsEveryService) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t control = free_port();
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0", "NONE", 1) +
                              config_line("S1", port, remote.port(), "127.0.0.1", "NONE", 1));
  AgentProcess agent(folder);
  int held = connect_loopback(port);
  ASSERT_GE(held, 0);
  ASSERT_EQ((send_bytes(held, "a"), receive_exactly(held, 1)), "a");

  order_reset(control);
  ASSERT_TRUE(agent.wait_for_event("KIV Port thread Closed"));
  // The listener has stopped accepting: a new client is not relayed.
  sleep(2);
  int waiting = connect_loopback(port, 1000);
  if (waiting >= 0) {
    set_receive_timeout(waiting, 2000);
    send_bytes(waiting, "b");
    EXPECT_EQ(receive_exactly(waiting, 1), "");
    close(waiting);
  }
  EXPECT_EQ(agent.event_count("S1 - thread Closed"), 0);
  EXPECT_EQ(agent.event_count("Resetting KIV..."), 0);
  // The held connection still relays while the reset waits for it.
  ASSERT_EQ((send_bytes(held, "c"), receive_exactly(held, 1)), "c");

  shutdown(held, SHUT_WR);
  receive_until_closed(held);
  close(held);
  ASSERT_TRUE(agent.wait_for_event("S1 - thread Closed"));
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV..."));
  ASSERT_TRUE(agent.wait_for_event("Start new thread: S1 " + std::to_string(port) + "/127.0.0.1/" +
                                   std::to_string(remote.port()), 2));
  EXPECT_TRUE(echoes(port, "after"));
}

TEST(Reset, HangupReloadsTheConfigurationFile) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t old_port = free_port();
  uint16_t new_port = free_port();
  folder.write("kiv.cnf", config_line("OLD", old_port, remote.port(), "127.0.0.1", "NONE", 1));
  AgentProcess agent(folder);
  ASSERT_TRUE(echoes(old_port, "old"));
  folder.write("kiv.cnf", config_line("NEW", new_port, remote.port(), "127.0.0.1", "NONE", 1));
  ASSERT_TRUE(agent.wait_for_event("OLD - Connection closed(0)"));
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  ASSERT_TRUE(agent.wait_for_event("OLD - thread Closed"));
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV..."));
  EXPECT_TRUE(echoes(new_port, "new"));
  EXPECT_EQ(connect_loopback(old_port, 500), -1);
}

}  // namespace
}  // namespace kiv_test
