// Relays of a real kiv-agentd under peers that stall, reset and chain: each
// ends as the operator would expect, and a reset that follows completes.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <future>
#include <sstream>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

using Lines = std::vector<std::string>;

// Sends without waiting until the socket has taken all it can for a while:
// every buffer between it and a peer that reads nothing is full.
void fill_until_stalled(int fd) {
  const std::string chunk(65536, 'f');
  for (int stalls = 0, rounds = 0; stalls < 5 && rounds < 100000; ++rounds) {
    if (send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
      stalls = 0;
    } else {
      ++stalls;
      usleep(100 * 1000);
    }
  }
}

// A reset ordered on the control port completes: no relay is left behind.
void expect_reset_completes(AgentProcess& agent, uint16_t control_port) {
  int control = connect_loopback(control_port);
  EXPECT_EQ((receive(control, 16), send_bytes(control, "RESET\r\n"), receive(control)),
            "RESET OK\n");
  close(control);
  EXPECT_TRUE(agent.wait_for_event("Resetting KIV...", 1, 20000))
      << "a relay stayed open after its peer's reset";
}

struct StalledRelay : testing::Test {
  uint16_t port = free_port();
  uint16_t control_port = free_port();
  TempFolder folder;

  void start(uint16_t remote_port) {
    folder.write("kiv.cnf", config_line("S1", port, remote_port) +
                                config_line("KIV", control_port, control_port, "0.0.0.0"));
  }
};

// The remote host floods a client that reads nothing, so the Read direction
// waits for room to send; then the remote host resets.
TEST_F(StalledRelay, ARemoteResetEndsARelayWaitingToSendToItsClient) {
  std::promise<void> flooded;
  LoopbackServer remote([&](int fd) {
    fill_until_stalled(fd);
    reset_on_close(fd);
    flooded.set_value();
  });
  start(remote.port());
  AgentProcess agent(folder);
  int client = connect_loopback(port, 10000, 4096);
  ASSERT_GE(client, 0);
  ASSERT_EQ(flooded.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", 1, 20000));
  EXPECT_EQ(receive_to_end(client), ECONNRESET) << "the client must see the remote's reset";
  close(client);
  expect_reset_completes(agent, control_port);
}

// A client fills every buffer toward a remote host that reads nothing, so the
// Write direction waits for room to send; then the client resets.
TEST_F(StalledRelay, AClientResetEndsARelayWaitingToSendToItsRemoteHost) {
  std::promise<void> client_reset;
  std::promise<int> remote_end;
  LoopbackServer remote([&](int fd) {
    client_reset.get_future().wait();
    remote_end.set_value(receive_to_end(fd));
  });
  start(remote.port());
  AgentProcess agent(folder);
  int client = connect_loopback(port);
  ASSERT_GE(client, 0);
  fill_until_stalled(client);
  close_with_reset(client);
  EXPECT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", 1, 20000))
      << "nobody reads the client's socket: its reset must still end the relay";
  client_reset.set_value();
  EXPECT_EQ(remote_end.get_future().get(), ECONNRESET)
      << "the remote host must see a reset, never an orderly end";
  expect_reset_completes(agent, control_port);
}

// The clock the tests time a relay's pauses with.
int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What a peer saw of a relay's end: the bytes that came first, how the
// stream ended (0 in order, ECONNRESET) and when.
struct PeerEnd {
  std::string bytes;
  int end = -1;
  int64_t at_ms = 0;
};

PeerEnd read_to_end(int fd, size_t size) {
  PeerEnd seen;
  seen.bytes = receive(fd, size);
  seen.end = receive_to_end(fd);
  seen.at_ms = now_ms();
  return seen;
}

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
  const int first = c.client_first ? client : server, second = c.client_first ? server : client;
  std::thread sender([&] {
    send_bytes(first, data);
    shutdown(first, SHUT_WR);
  });
  EXPECT_EQ(receive(second, data.size()), data) << "the bytes before the reset";
  sender.join();
  const int64_t half_closed_ms = now_ms();
  const int resetting = c.other_resets ? second : first;
  PeerEnd seen;
  if (resetting == client) {
    close_with_reset(client);
    seen = read_to_end(server, 0);
    remote_resets.set_value(false);
  } else {
    remote_resets.set_value(true);
    seen = read_to_end(client, 0);
  }
  EXPECT_EQ(seen.end, ECONNRESET) << "a reset passed on as an orderly end";
  EXPECT_LT(seen.at_ms - half_closed_ms, 2000) << "the reset waited for the pause";
  EXPECT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)"));
  if (resetting != client) close(client);
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
  const std::string request = random_bytes(100000, 3), answer = random_bytes(200000, 4);
  std::promise<std::string> remote_got;
  LoopbackServer remote([&](int fd) {
    remote_got.set_value(receive(fd, request.size()));
    send_bytes(fd, answer);
    shutdown(fd, SHUT_WR);
    receive_to_end(fd);
  });
  uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  int client = connect_loopback(port);
  ASSERT_TRUE(send_bytes(client, request));
  ASSERT_EQ(shutdown(client, SHUT_WR), 0);
  const int64_t half_closed_ms = now_ms();
  PeerEnd seen = read_to_end(client, answer.size());
  EXPECT_EQ(remote_got.get_future().get(), request);
  EXPECT_EQ(seen.bytes, answer);
  EXPECT_EQ(seen.end, 0);
  EXPECT_LT(seen.at_ms - half_closed_ms, 2000) << "the answer's end waited for a pause";
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(0)", 1, 2000));
  Lines events = agent.events();
  EXPECT_EQ(Lines(events.end() - 3, events.end()),
            (Lines{"S1 Write - Shutdown", "S1 Read - Shutdown", "S1 - Connection closed(0)"}));
  close(client);
}

// The timer the system runs for the TCP socket from `local_port` to
// `remote_port`, as /proc shows it (2: the keepalive timer), or -1 when
// there is no such socket.
int timer_of(uint16_t local_port, uint16_t remote_port) {
  auto port_of = [](const std::string& address) {
    return std::stoul(address.substr(address.rfind(':') + 1), nullptr, 16);
  };
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream table(path);
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer;
      fields >> slot >> local >> remote >> state >> queues >> timer;
      if (port_of(local) == local_port && port_of(remote) == remote_port) {
        return std::stoi(timer.substr(0, timer.find(':')), nullptr, 16);
      }
    }
  }
  return -1;
}

uint16_t port_of(int fd, bool peer) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if ((peer ? getpeername : getsockname)(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return 0;
  }
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

// Both sockets of a relay probe their peer once idle, so a peer that has
// vanished ends the relay; the peers' own sockets show the timer is the agent's.
TEST(Keepalive, BothSocketsOfARelayProbeTheirPeer) {
  std::promise<uint16_t> agent_port;
  LoopbackServer remote([&](int fd) {
    agent_port.set_value(port_of(fd, true));
    echo_handler(fd);
  });
  uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, remote.port()));
  AgentProcess agent(folder);
  int client = connect_loopback(port);
  ASSERT_TRUE(send_bytes(client, "x") && receive(client, 1) == "x");
  const uint16_t client_port = port_of(client, false), outgoing = agent_port.get_future().get();
  EXPECT_EQ(timer_of(port, client_port), 2) << "the client's side";
  EXPECT_EQ(timer_of(outgoing, remote.port()), 2) << "the remote host's side";
  EXPECT_EQ(timer_of(client_port, port), 0) << "the test's own client probes";
  close(client);
}

// A client that arrives while a reload waits for an open relay reaches the
// host its service was started with, or nothing; never the new host.
TEST(Reload, ClientsBeforeTheRestartReachTheOldHostOnly) {
  auto greeter = [](const char* name) {
    return [name](int fd) {
      send_bytes(fd, name);
      receive_to_end(fd);
    };
  };
  LoopbackServer old_host(greeter("old")), new_host(greeter("new"));
  uint16_t port = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("S1", port, old_host.port()));
  AgentProcess agent(folder);
  int held = connect_loopback(port);
  ASSERT_EQ(receive(held, 3), "old");
  folder.write("kiv.cnf", config_line("S1", port, new_host.port()));
  agent.signal(SIGHUP);
  ASSERT_TRUE(agent.wait_for_event("KIV reconfigured..."));
  std::vector<int> arriving;  // the new row is in the table, the old listener still open
  for (int i = 0; i < 10; ++i) arriving.push_back(connect_loopback(port));
  close(held);
  for (int fd : arriving) {
    std::string greeting = receive(fd, 3);
    EXPECT_NE(greeting, "new") << "a client relayed to a host the running service was not given";
    close(fd);
  }
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 1, 30000));
  EXPECT_TRUE(eventually([&] {
    int fd = connect_loopback(port);
    bool reached = receive(fd, 3) == "new";
    close(fd);
    return reached;
  }));
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
