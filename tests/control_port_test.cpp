// The control port of a real kiv-agentd and the resets it orders, as clients on the wire see them.

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

// One client at a time, each segment of up to 80 bytes a command; a client that never reads holds up no
// reset; a reset waits for the open relay (still relaying, taking nobody new).
TEST(ControlPort, ServesOneClientAtATimeAndItsResetWaitsForOpenRelays) {
  const std::string banner = "KIV Agent v1.4b\n", unknown = "Unknown Command\n";
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t control = free_port(), port = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") + config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  int held = connect_loopback(port), first = connect_loopback(control), second = connect_loopback(control, 10000, 4096);
  ASSERT_EQ((send_bytes(held, "a"), receive(held, 1)), "a");
  EXPECT_EQ(receive(first, banner.size()), banner);
  set_receive_timeout(second, 500);
  EXPECT_EQ(receive(second, 1), "");
  EXPECT_EQ((send_bytes(first, std::string(81, 'x')), receive(first, 2 * unknown.size())), unknown + unknown);
  EXPECT_EQ((send_bytes(first, "quit"), receive(first)), "KIV QUIT.\n");
  close(first);
  set_receive_timeout(second, 30000);
  EXPECT_EQ(receive(second, banner.size()), banner);
  timeval patience{60, 0};
  setsockopt(second, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  // Far more unknown commands than the replies' buffers hold, none read; then a reset as a segment of its own.
  ASSERT_TRUE(send_bytes(second, std::string(80 * 400000, 'x')));
  eventually([second] { int unsent = -1; return ioctl(second, SIOCOUTQ, &unsent) == 0 && unsent == 0; }, 60000);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(send_bytes(second, "RESET\r\n"));
  ASSERT_TRUE(agent.wait_for_event("KIV Port thread Closed", 1, 120000));
  close(second);
  sleep(2);  // the listener's wait ends and sees the reset
  int waiting = connect_loopback(port, 1000);
  set_receive_timeout(waiting, 2000);
  EXPECT_EQ((send_bytes(waiting, "b"), receive(waiting, 1)), "");
  ASSERT_EQ((send_bytes(held, "c"), receive(held, 1)), "c");
  EXPECT_EQ(agent.event_count("Resetting KIV..."), 0);
  close(held);
  EXPECT_TRUE(agent.wait_for_event("Resetting KIV..."));
  close(waiting);
}

}  // namespace
}  // namespace kiv_test
