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

// Sends `bytes` on `fd` and returns what comes back: `size` bytes, or all until the end.
std::string exchange(int fd, const std::string& bytes, size_t size = std::string::npos) {
  send_bytes(fd, bytes);
  return receive(fd, size);
}

// One client at a time, each segment of up to 80 bytes a command; a client that never reads
// holds up no reset; a reset waits for the open relay (still relaying, taking nobody new).
TEST(ControlPort, ServesOneClientAtATimeAndItsResetWaitsForOpenRelays) {
  const std::string banner = "KIV Agent v1.4b\n";
  const std::string unknown = "Unknown Command\n";
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t control = free_port();
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") +
                              config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  int held = connect_loopback(port);
  int first = connect_loopback(control);
  int second = connect_loopback(control, 10000, 4096);
  ASSERT_EQ(exchange(held, "a", 1), "a") << "the relay to be held open";
  EXPECT_EQ(receive(first, banner.size()), banner) << "the first client is served";
  set_receive_timeout(second, 500);
  EXPECT_EQ(receive(second, 1), "") << "a second client was served beside the first";
  EXPECT_EQ(exchange(first, std::string(81, 'x'), 2 * unknown.size()), unknown + unknown)
      << "81 bytes are two commands";
  EXPECT_EQ(exchange(first, "quit"), "KIV QUIT.\n");
  close(first);
  set_receive_timeout(second, 30000);
  EXPECT_EQ(receive(second, banner.size()), banner) << "the next client is served";
  timeval patience{60, 0};
  setsockopt(second, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  // Far more unknown commands than the replies' buffers hold, none read; then a reset as a
  // segment of its own.
  ASSERT_TRUE(send_bytes(second, std::string(80 * 400000, 'x')));
  eventually([second] {
    int unsent = -1;
    return ioctl(second, SIOCOUTQ, &unsent) == 0 && unsent == 0;
  }, 60000);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(send_bytes(second, "RESET\r\n"));
  ASSERT_TRUE(agent.wait_for_event("KIV Port thread Closed", 1, 120000))
      << "a client that reads nothing held the reset up";
  close(second);
  sleep(2);  // the listener's wait ends and sees the reset
  int waiting = connect_loopback(port, 1000);
  set_receive_timeout(waiting, 2000);
  EXPECT_EQ(exchange(waiting, "b", 1), "") << "a client was taken while the reset waits";
  ASSERT_EQ(exchange(held, "c", 1), "c") << "the open relay stopped relaying";
  EXPECT_EQ(agent.event_count("Resetting KIV..."), 0) << "the reset did not wait for the relay";
  close(held);
  EXPECT_TRUE(agent.wait_for_event("Resetting KIV...")) << "the relay's close ends the wait";
  close(waiting);
}

}  // namespace
}  // namespace kiv_test
