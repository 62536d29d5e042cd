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

// One control client at a time, each segment of up to 80 bytes a command.
// While a reset waits for the open relay, which goes on relaying, the control
// client kept through it is still answered and the one waiting behind it is
// served before the control port ends, which a client that reads none of its
// replies holds up no more than any other; no service takes a client meanwhile.
TEST(ControlPort, AResetWaitsForTheOpenRelayAndServesOnlyTheControlClients) {
  LoopbackServer remote(echo_handler);
  const uint16_t control = free_port();
  const uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") +
                              config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  int held = connect_loopback(port);
  ASSERT_EQ(exchange(held, "a", 1), "a") << "the relay that holds the reset";
  int kept = connect_loopback(control);
  EXPECT_EQ(receive(kept, BANNER.size()), BANNER);
  int waiting = connect_loopback(control, 10000, 4096);
  set_receive_timeout(waiting, 500);
  EXPECT_EQ(receive(waiting, 1), "") << "a second client was served beside the first";
  set_receive_timeout(waiting, 30000);
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  EXPECT_EQ(exchange(kept, std::string(81, 'x'), 32), "Unknown Command\nUnknown Command\n")
      << "81 bytes are two commands, answered through the reset";
  EXPECT_EQ(exchange(kept, "quit"), "KIV QUIT.\n");
  close(kept);
  EXPECT_EQ(receive(waiting, BANNER.size()), BANNER) << "the waiting client was dropped";
  // Far more unknown commands than the replies' buffers hold, none read.
  timeval patience{60, 0};
  setsockopt(waiting, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  EXPECT_TRUE(send_bytes(waiting, std::string(80 * 400000, 'x')))
      << "the control port stopped reading";
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

}  // namespace
}  // namespace kiv_test
