// The control port of a real kiv-agentd and the resets it orders, as clients on the wire see them.

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

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

// A control client kept through a reset is still answered; a client waiting
// behind it is served before the control port ends for the reset.
TEST(ControlPort, ServesItsClientsThroughAResetBeforeItEnds) {
  const std::string banner = "KIV Agent v1.4b\n";
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t control = free_port(), port = free_port();
  folder.write("kiv.cnf", config_line("KIV", control, control, "0.0.0.0") +
                              config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  int held = connect_loopback(port);
  ASSERT_EQ(exchange(held, "a", 1), "a") << "the relay that holds the reset";
  int kept = connect_loopback(control);
  EXPECT_EQ(receive(kept, banner.size()), banner);
  int waiting = connect_loopback(control);
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  EXPECT_EQ(exchange(kept, "help", 54), "KIV Commands: Help, Reset, Shut, Restart, Stat, Quit.\n")
      << "a client kept through the reset is answered";
  EXPECT_EQ(exchange(kept, "quit"), "KIV QUIT.\n");
  close(kept);
  EXPECT_EQ(receive(waiting, banner.size()), banner) << "the waiting client was dropped";
  EXPECT_EQ(exchange(waiting, "quit"), "KIV QUIT.\n");
  close(waiting);
  ASSERT_TRUE(agent.wait_for_event("KIV Port thread Closed"));
  close(held);
}

// A reset asked for while clients' connects to a healthy host are under way
// cuts none of them: each is relayed, and the reset waits for them.
TEST(ControlPort, AResetCutsNoConnectToAHealthyHost) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  ASSERT_TRUE(eventually([port] { return echoes(port); }));
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
  std::vector<std::string> events = agent.events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& line) {
                            return line.rfind("Can't connect to host", 0) == 0;
                          }),
            0)
      << "a reset cut a connect";
  EXPECT_EQ(relayed, agent.event_count("S1 Connected") - probes) << "a client accepted, not relayed";
}

}  // namespace
}  // namespace kiv_test
