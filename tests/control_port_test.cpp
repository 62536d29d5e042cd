// The control port of a real kiv-agentd, as a client on the wire sees it.

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

const std::string kBanner = "KIV Agent v1.4b\n", kUnknown = "Unknown Command\n";

class ControlPort : public ::testing::Test {
 protected:
  void SetUp() override {
    folder.write("kiv.cnf", config_line("KIV", port, port, "0.0.0.0"));
    agent = std::make_unique<AgentProcess>(folder);
  }
  TempFolder folder;
  uint16_t port = free_port();
  std::unique_ptr<AgentProcess> agent;
};

std::string ask(int fd, const std::string& command, size_t reply_size) {
  send_bytes(fd, command);
  return receive(fd, reply_size);
}

// The banner comes alone, and a second client gets none while the first is served.
TEST_F(ControlPort, AnswersEachSegmentOnceAndServesOneClientAtATime) {
  int first = connect_loopback(port), second = connect_loopback(port);
  EXPECT_EQ(receive(first, kBanner.size()), kBanner);
  set_receive_timeout(first, 1500);
  set_receive_timeout(second, 500);
  EXPECT_EQ(receive(first, 1) + receive(second, 1), "");
  set_receive_timeout(first, 30000);
  EXPECT_EQ(ask(first, "HELP\r\nQUIT\r\n", 54), "KIV Commands: Help, Reset, Shut, Restart, Stat, Quit.\n");
  // 81 bytes at once are a command of 80 bytes and one of 1.
  EXPECT_EQ(ask(first, std::string(81, 'x'), 2 * kUnknown.size()), kUnknown + kUnknown);
  EXPECT_EQ(ask(first, "quit", 10), "KIV QUIT.\n");
  EXPECT_EQ(receive(first), "");
  close(first);
  set_receive_timeout(second, 30000);
  EXPECT_EQ(receive(second, kBanner.size()), kBanner);
  close(second);
  ASSERT_TRUE(agent->wait_for_event("KIV Port - Connection Closed"));
  // A quit is not a close: the one close logged is the second client's.
  std::vector<std::string> sessions;
  for (const std::string& event : agent->events()) {
    if (event.rfind("KIV Port - Connection", 0) == 0) sessions.push_back(event.substr(22));
  }
  EXPECT_EQ(sessions, (std::vector<std::string>{"Established", "Established", "Closed"}));
}

TEST_F(ControlPort, ResetRestartsTheAgentEvenAfterAClientThatNeverReads) {
  int fd = connect_loopback(port, 10000, 4096);
  timeval patience{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  // Far more unknown commands than the replies' buffers can hold, none read.
  ASSERT_TRUE(send_bytes(fd, std::string(80 * 400000, 'x')));
  // Once the agent has taken every byte, a reset comes as a segment of its own.
  eventually([fd] {
    int unacknowledged = -1;
    return ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
  }, 60000);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(send_bytes(fd, "RESET\r\n"));
  EXPECT_TRUE(agent->wait_for_event("Resetting KIV...", 1, 120000));
  close(fd);
  ASSERT_TRUE(agent->wait_for_event("KIV port thread created", 2));
  int again = connect_loopback(port);
  EXPECT_EQ(receive(again, kBanner.size()), kBanner);
  EXPECT_EQ(ask(again, "restart\r\n", 10), "RESET OK\n");
  close(again);
  EXPECT_TRUE(agent->wait_for_event("Resetting KIV...", 2));
}

}  // namespace
}  // namespace kiv_test
