// Relays of a real kiv-agentd under peers that half-close, reset and chain:
// each ends as the operator would expect.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// One peer sends its data and half-closes; the other receives every byte of
// it, then resets (`other_resets`), or the first one resets itself a moment
// later. Either way the half-close pause under way must not keep the reset
// from the peer that did not reset: it sees a reset, well within the pause.
struct ResetInAPause {
  const char* name;
  bool client_first;  // the client half-closes (the Write pause), else the remote host
  bool other_resets;  // the other peer resets, else the one that half-closed
};

class HalfCloseThenReset : public testing::TestWithParam<ResetInAPause> {};

TEST_P(HalfCloseThenReset, TheResetReachesThePeerThatDidNotResetWithinThePause) {
  const ResetInAPause c = GetParam();
  const std::string data = random_bytes(300000, 7);
  std::promise<int> remote_fd;
  std::promise<bool> remote_resets;  // the remote host's last act: a reset, or a close
  LoopbackServer remote([&](int fd) {
    remote_fd.set_value(fd);
    if (remote_resets.get_future().get()) reset_on_close(fd);
  });
  uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  int client = connect_loopback(port, 10000, 4096);
  ASSERT_GE(client, 0);
  const int server = remote_fd.get_future().get();
  const int first = c.client_first ? client : server;
  const int second = c.client_first ? server : client;
  std::thread sender([&] {
    send_bytes(first, data);
    shutdown(first, SHUT_WR);
  });
  EXPECT_EQ(receive(second, data.size()), data) << "the bytes before the reset";
  sender.join();
  const auto half_closed = Clock::now();
  int end;
  if (c.client_first != c.other_resets) {  // the client resets
    close_with_reset(client);
    end = receive_to_end(server);
    remote_resets.set_value(false);
  } else {
    remote_resets.set_value(true);
    end = receive_to_end(client);
    close(client);
  }
  EXPECT_EQ(end, ECONNRESET) << "a reset passed on as an orderly end";
  EXPECT_LT(Clock::now() - half_closed, std::chrono::milliseconds(2000))
      << "the reset waited for the pause";
  EXPECT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)"));
}

INSTANTIATE_TEST_SUITE_P(
    EachPause, HalfCloseThenReset,
    testing::Values(ResetInAPause{"ClientHalfClosesThenResets", true, false},
                    ResetInAPause{"ClientHalfClosesRemoteResets", true, true},
                    ResetInAPause{"RemoteHalfClosesClientResets", false, true},
                    ResetInAPause{"RemoteHalfClosesThenResets", false, false}),
    [](const testing::TestParamInfo<ResetInAPause>& info) { return info.param.name; });

// A relay whose peers have both ended their sending has nothing left to do:
// the second end is passed on at once, the half-closes keep their order, and
// the relay ends without waiting for a second pause.
TEST(FinishedRelay, EndsAsSoonAsBothPeersHaveEnded) {
  LoopbackServer remote([](int fd) {
    receive(fd, 7);
    send_bytes(fd, "answer");
    shutdown(fd, SHUT_WR);
    receive_to_end(fd);
  });
  uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  int client = connect_loopback(port);
  ASSERT_TRUE(send_bytes(client, "request"));
  ASSERT_EQ(shutdown(client, SHUT_WR), 0);
  const auto half_closed = Clock::now();
  EXPECT_EQ(receive(client, 6), "answer");
  EXPECT_EQ(receive_to_end(client), 0);
  EXPECT_LT(Clock::now() - half_closed, std::chrono::milliseconds(2000))
      << "the answer's end waited for a pause";
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(0)", 1, 2000));
  Lines events = agent.events();
  EXPECT_EQ(Lines(events.end() - 3, events.end()),
            (Lines{"S1 Write - Shutdown", "S1 Read - Shutdown", "S1 - Connection closed(0)"}));
  close(client);
}

// A service may forward to another service of the same agent; only a
// connection that comes back to a service of its own chain is refused.
TEST(ServiceChain, ChainedServicesRelayAndOnlyARealLoopIsRefused) {
  LoopbackServer echo(echo_handler);
  uint16_t a = free_port(), b = free_port(), c = free_port(), d = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("A", a, b) + config_line("B", b, echo.port()) +
                              config_line("C", c, d) + config_line("D", d, c));
  AgentProcess agent(folder);
  for (uint16_t p : {a, b, c, d}) ASSERT_TRUE(eventually([p] { return port_listening(p); }));
  EXPECT_EQ(round_trip(a, "through two services"), "through two services");
  EXPECT_EQ(round_trip(c, "in a circle"), "");
  const std::string c_text = std::to_string(c), d_text = std::to_string(d);
  EXPECT_TRUE(agent.wait_for_event("Can't connect to host: 127.0.0.1 " + c_text +
                                   " loops back to this agent (C " + c_text + " -> D " + d_text +
                                   " -> " + c_text + ")"));
}

}  // namespace
}  // namespace kiv_test
