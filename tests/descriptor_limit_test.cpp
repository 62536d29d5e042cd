// A kiv-agentd at the edge of what it may take: descriptors, and the connections it could open to itself.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

// A service that forwards to the agent's own port would relay each client to itself until the descriptors
// run out: it is refused at once. Under a low limit the agent refuses what it cannot hold; then serves again.
TEST(DescriptorLimit, TheAgentRefusesWhatItCannotHoldAndServesAgainOnceItCan) {
  LoopbackServer remote(echo_handler);
  TempFolder folder;
  uint16_t loop = free_port(), port = free_port(), control_port = free_port();
  folder.write("kiv.cnf", config_line("LOOP", loop, loop) + config_line("S1", port, remote.port()) +
                              config_line("KIV", control_port, control_port, "0.0.0.0"));
  AgentProcess agent(folder);
  for (uint16_t p : {loop, port, control_port}) ASSERT_TRUE(eventually([p] { return port_listening(p); }));
  rlimit saved{};
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
  rlimit lowered{60, saved.rlim_max};
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);
  EXPECT_EQ(round_trip(loop, ""), "");
  const std::string port_text = std::to_string(loop);
  EXPECT_TRUE(agent.wait_for_event("Can't connect to host: 127.0.0.1 " + port_text +
                                   " loops back to this agent (LOOP " + port_text + " -> " +
                                   port_text + ")"));

  std::vector<int> held;  // relayed clients, each with its byte echoed, then the first one refused
  do held.push_back(connect_loopback(port));
  while (held.size() <= 60 && (send_bytes(held.back(), "x"), receive(held.back(), 1)) == "x");
  const size_t relays = held.size() - 1;
  EXPECT_TRUE(relays > 5 && relays < 20) << relays;
  EXPECT_TRUE(agent.wait_for_event("S1 Error: Connection limit " + std::to_string(relays)));
  for (int fd : held) close(fd);
  EXPECT_TRUE(eventually([port] { return echoes(port); }, 30000));

  lowered.rlim_cur = 3;  // beyond standard input, output and error: nothing
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);
  int control = connect_loopback(control_port), client = connect_loopback(port);
  EXPECT_TRUE(agent.wait_for_event("KIV Port Error - Accept 24"));
  EXPECT_TRUE(agent.wait_for_event("S1 Error: Accept 24"));
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
  EXPECT_EQ(receive(control, 16), "KIV Agent v1.4b\n");
  EXPECT_EQ((send_bytes(client, "x"), receive(client, 1)), "x");
  for (int fd : {control, client}) close(fd);
}

}  // namespace
}  // namespace kiv_test
