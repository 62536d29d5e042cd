// A kiv-agentd at the edge of what it may take: descriptors, and the
// connections that it could open to itself.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

// Each relay holds two descriptors: under a low limit the agent refuses the
// clients beyond what it can hold, and serves again once relays end. A service
// that forwards to the agent's own port would relay each client to itself
// without end (only that limit would stop it): it is refused at once. With no
// descriptor left at all, neither a service nor the control port can accept:
// both pause, and serve again once descriptors are free.
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
  rlimit lowered{40, saved.rlim_max};
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);
  EXPECT_EQ(round_trip(loop, ""), "");
  EXPECT_TRUE(agent.wait_for_event("Can't connect to host: 127.0.0.1 " + std::to_string(loop) +
                                   " loops back to this agent"));
  EXPECT_TRUE(agent.wait_for_event("LOOP - Connection closed(-1)"));
  EXPECT_EQ(agent.event_count("LOOP Connected"), 1);

  // A relayed client that has had its byte echoed, or -1.
  auto echoed_client = [port] {
    int fd = connect_loopback(port);
    if ((send_bytes(fd, "x"), receive(fd, 1)) == "x") return fd;
    close(fd);
    return -1;
  };
  std::vector<int> held;
  for (int fd; held.size() < 40 && (fd = echoed_client()) >= 0;) held.push_back(fd);
  EXPECT_GT(held.size(), 5u);
  EXPECT_LT(held.size(), 20u);
  EXPECT_TRUE(agent.wait_for_event("S1 Error: Connection limit " + std::to_string(held.size())));
  for (int fd : held) close(fd);
  int served = -1;
  EXPECT_TRUE(eventually([&] { return (served = echoed_client()) >= 0; }, 30000));
  close(served);

  lowered.rlim_cur = 3;  // beyond standard input, output and error: nothing
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);
  int control = connect_loopback(control_port), client = connect_loopback(port);
  EXPECT_TRUE(agent.wait_for_event("KIV Port Error - Accept 24"));
  EXPECT_TRUE(agent.wait_for_event("S1 Error: Accept 24"));
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
  EXPECT_EQ(receive(control, 16), "KIV Agent v1.4b\n");
  EXPECT_EQ((send_bytes(client, "x"), receive(client, 1)), "x");
  close(control);
  close(client);
  EXPECT_EQ(agent.event_count("KIV Port thread Closed") + agent.event_count("S1 - thread Closed"), 0);
  EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
}  // namespace kiv_test
