// A kiv-agentd at the edge of the descriptors it may take.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

// Under a low limit the agent refuses what it cannot hold, and says so before
// the system runs out of descriptors: its ceiling leaves room for every
// listening socket (five services listen on 8 addresses each). Then it serves again.
TEST(DescriptorLimit, TheAgentRefusesWhatItCannotHoldAndServesAgainOnceItCan) {
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t port = free_port(), control = free_port();
  std::string config = config_line("KIV", control, control, "0.0.0.0");
  std::string access;
  for (int s = 1; s <= 5; ++s) {
    const std::string name = "S" + std::to_string(s);
    config += config_line(name, s == 1 ? port : free_port(), remote.port());
    for (int a = 1; a <= 8; ++a) access += name + " listen 127.0.0." + std::to_string(a) + "\n";
  }
  folder.write("kiv.cnf", config);
  folder.write("kiv.access", access);
  AgentProcess agent(folder);
  for (uint16_t p : {port, control}) ASSERT_TRUE(eventually([p] { return port_listening(p); }));
  rlimit saved{};
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
  rlimit lowered{100, saved.rlim_max};
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);
  std::vector<int> held;  // relayed clients, each with its byte echoed, then the first refused
  for (bool relayed = true; relayed && held.size() <= 100;) {
    held.push_back(connect_loopback(port));
    relayed = send_bytes(held.back(), "x") && receive(held.back(), 1) == "x";
  }
  const size_t relays = held.size() - 1;
  EXPECT_TRUE(agent.wait_for_event("S1 Error: Connection limit " + std::to_string(relays)));
  for (const std::string& line : agent.events()) {
    const bool ends_in_emfile = line.size() > 3 && line.compare(line.size() - 3, 3, " 24") == 0;
    EXPECT_FALSE(ends_in_emfile) << "out of descriptors: " << line;
  }
  for (int fd : held) close(fd);
  EXPECT_TRUE(eventually([port] { return echoes(port); }, 30000));

  lowered.rlim_cur = 3;  // beyond standard input, output and error: nothing
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);
  int control_client = connect_loopback(control);
  int client = connect_loopback(port);
  EXPECT_TRUE(agent.wait_for_event("KIV Port Error - Accept 24"));
  EXPECT_TRUE(agent.wait_for_event("S1 Error: Accept 24"));
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
  EXPECT_EQ(receive(control_client, 16), "KIV Agent v1.4b\n");
  EXPECT_TRUE(send_bytes(client, "x"));
  EXPECT_EQ(receive(client, 1), "x");
  close(control_client);
  close(client);
}

}  // namespace
}  // namespace kiv_test
