// A kiv-agentd that runs out of descriptors while relays are open.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tests/agent_process.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

// A relayed client that has had its byte echoed, or -1; waits up to
// `connect_deadline_ms` for the service to listen.
int echoed_client(uint16_t port, int connect_deadline_ms = 0) {
  int fd = connect_loopback(port, connect_deadline_ms);
  if (fd < 0) return -1;
  set_receive_timeout(fd, 2000);
  if (send_bytes(fd, "x") && receive(fd, 1) == "x") return fd;
  close(fd);
  return -1;
}

// Two limits, one odd and one even, so that the last free descriptor goes
// once to the accept and once to the socket for the remote host.
TEST(DescriptorLimit, RefusedClientsAreLoggedAndTheServiceServesAgainOnceRelaysEnd) {
  for (rlim_t limit : {40, 41}) {
    SCOPED_TRACE(limit);
    LoopbackServer remote(echo_handler);
    TempFolder folder;
    uint16_t port = free_port();
    folder.write("kiv.cnf", config_line("S1", port, remote.port()));
    AgentProcess agent(folder);
    ASSERT_TRUE(agent.wait_for_event("Start new thread: S1 " + std::to_string(port) +
                                     "/127.0.0.1/" + std::to_string(remote.port())));
    rlimit lowered{limit, limit};
    ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);

    std::vector<int> held{echoed_client(port, 10000)};
    ASSERT_GE(held[0], 0);
    for (rlim_t i = 0; i < limit; ++i) {
      int fd = echoed_client(port);
      if (fd < 0) break;
      held.push_back(fd);
    }
    EXPECT_GT(held.size(), 10u);
    EXPECT_LT(held.size(), limit / 2);
    // Either the accept or the socket for the remote host met the limit.
    EXPECT_TRUE(agent.wait_for_event("S1 Error: Accept 24", 1, 3000) ||
                agent.event_count("Can't create socket: 24") > 0);
    for (int fd : held) close(fd);

    int served = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (served < 0 && std::chrono::steady_clock::now() < deadline) {
      served = echoed_client(port);
      if (served < 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_GE(served, 0) << "no client served once the relays had ended";
    if (served >= 0) close(served);
    EXPECT_EQ(agent.event_count("S1 - thread Closed"), 0);
    EXPECT_EQ(agent.stop(), 0);
  }
}

}  // namespace
}  // namespace kiv_test
