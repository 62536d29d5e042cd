// The control port of a real kiv-agentd and the resets it orders, as clients on the wire see them.

#include <gtest/gtest.h>
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

// Each segment of up to 80 bytes is a command. While a reset waits for the
// open relay, which goes on relaying, the control client kept through it is
// still answered and the one waiting behind it is served before the control
// port ends.
TEST(ControlPort, AResetWaitsForTheOpenRelayAndServesItsControlClients) {
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
  int waiting = connect_loopback(control);
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  EXPECT_EQ(exchange(kept, std::string(81, 'x'), 32), "Unknown Command\nUnknown Command\n")
      << "81 bytes are two commands, answered through the reset";
  EXPECT_EQ(exchange(kept, "quit"), "KIV QUIT.\n");
  close(kept);
  EXPECT_EQ(receive(waiting, BANNER.size()), BANNER) << "the waiting client was dropped";
  close(waiting);
  ASSERT_TRUE(agent.wait_for_event("KIV Port thread Closed"));
  ASSERT_EQ(exchange(held, "c", 1), "c") << "the open relay stopped relaying";
  EXPECT_EQ(agent.event_count("Resetting KIV..."), 0) << "the reset did not wait for the relay";
  close(held);
  EXPECT_TRUE(agent.wait_for_event("Resetting KIV...")) << "the relay's close ends the wait";
}

}  // namespace
}  // namespace kiv_test
