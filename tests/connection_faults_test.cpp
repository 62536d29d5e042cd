// Faulty peers, chains and table files around the relays of an agent run in
// this process: each relay ends with the lines and counters that say what
// happened, and the agent comes back to rest.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>

#include "agent/lifecycle.h"
#include "forward/forwarding.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// The sockets of this process that probe their peer once idle.
int probing_sockets() {
  int probing = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    int on = 0;
    socklen_t size = sizeof on;
    if (getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size) == 0 && on != 0) ++probing;
  }
  return probing;
}

// The folder of the agent of each test, and the port of its first service.
struct ConnectionFaults : testing::Test {
  const uint16_t port = free_port();
  TempFolder folder;
};

// Each relay reads its table file again until one loads: a bad one refuses
// the relay before the remote host is asked (a FIFO holds it waiting for no
// writer); a host that refuses ends the relay at once.
TEST_F(ConnectionFaults, ABadTableOrARefusingHostEndsTheRelayAtOnce) {
  folder.write("kiv.cnf", config_line("S1", port, free_port(), "127.0.0.1", "BAD"));
  ASSERT_EQ(mkfifo(folder.file("BAD.ctb").c_str(), 0644), 0);
  InProcessAgent agent(folder);
  EXPECT_EQ(round_trip(port, ""), "");
  std::remove(folder.file("BAD.ctb").c_str());
  folder.write("BAD.ctb", std::string(511, 'b'));
  EXPECT_EQ(round_trip(port, ""), "");
  folder.write("BAD.ctb", std::string(512, 'b'));
  EXPECT_EQ(round_trip(port, ""), "");
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", 3));
  const std::pair<std::string, int> lines[] = {
      {"Can't open file: BAD.ctb", 1},
      {"Error in file: BAD.ctb", 1},
      {"S1 Connected", 1},
      {"Can't connect to host: 127.0.0.1 " + std::to_string(ECONNREFUSED), 1},
      {"Connection ERROR", 3},
  };
  for (const auto& [text, count] : lines) EXPECT_EQ(agent.event_count(text), count) << text;
  EXPECT_EQ(agent.row(0).errors_o, 2u) << "each table that failed";
  EXPECT_EQ(agent.row(0).errors_t, 0u) << "a failed connect is no transfer error";
  EXPECT_EQ(agent.row(0).state, kiv::SVC_ERROR);
}

// The remote host's early end reaches the client after the relay's pause
// before a half-close, and cuts the client's request short by no byte.
TEST_F(ConnectionFaults, ARemoteHostsEarlyEndCutsNoRequestShort) {
  std::promise<std::string> received;
  LoopbackServer remote([&](int fd) {
    send_bytes(fd, "greeting");
    shutdown(fd, SHUT_WR);
    received.set_value(receive(fd));
  });
  folder.write("kiv.cnf", config_line("S1", port, remote.port()));
  InProcessAgent agent(folder);
  int client = connect_loopback(port);
  const auto connected = Clock::now();
  EXPECT_EQ(receive(client, 8), "greeting");
  EXPECT_EQ(receive_to_end(client), 0) << "the remote host's end, before the client's own";
  EXPECT_GE(Clock::now() - connected,
            std::chrono::milliseconds(kiv::HALF_CLOSE_DELAY_MS));
  const std::string request = random_bytes(500000, 2);
  ASSERT_TRUE(send_bytes(client, request));
  shutdown(client, SHUT_WR);
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(0)"));
  close(client);
  EXPECT_EQ(received.get_future().get(), request);
  EXPECT_EQ(agent.row(0).bytes_written, request.size());
  EXPECT_EQ(agent.row(0).bytes_read, 8u);
}

// Both sockets of a relay probe their peer once idle, so that a peer that
// vanished ends it; once its burst has passed, it holds those two only: no
// pipe, no descriptor of a thread's.
TEST_F(ConnectionFaults, ARelayProbesBothPeersAndHoldsNoPipeOnceItsBurstHasPassed) {
  LoopbackServer echo(echo_handler);
  folder.write("kiv.cnf", config_line("S1", port, echo.port()));
  InProcessAgent agent(folder);
  ASSERT_TRUE(eventually([this] { return port_listening(port); }));
  const int idle_descriptors = descriptor_total(getpid());
  int client = connect_loopback(port);
  const std::string burst(16 << 20, 'k');
  std::thread sender([&] { send_bytes(client, burst); });
  EXPECT_EQ(receive(client, burst.size()).size(), burst.size());
  sender.join();
  EXPECT_EQ(probing_sockets(), 2) << "the relay's";
  // The relay's two sockets, the client and the echo's socket.
  EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) == idle_descriptors + 4; }));
  close(client);
}

// A reset interrupts a connect under way to a host that never answers; a
// later one is given up on. The restart reads the table files again.
TEST_F(ConnectionFaults, AResetInterruptsAConnectAndRereadsTheTables) {
  // A listener whose full backlog drops connection requests, as a firewall does.
  const uint16_t firewalled = free_port();
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, htons(firewalled), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 0), 0);
  int queued = connect_loopback(firewalled);
  LoopbackServer echo(echo_handler);
  const uint16_t translated = free_port();
  folder.write("kiv.cnf", config_line("S1", port, firewalled) +
                              config_line("S2", translated, echo.port(), "127.0.0.1", "T"));
  folder.write("T.ctb", std::string(512, 'x'));  // every byte becomes an x, each way
  InProcessAgent agent(folder);
  for (uint16_t p : {port, translated}) ASSERT_TRUE(eventually([p] { return port_listening(p); }));
  const int idle_descriptors = descriptor_total(getpid());
  EXPECT_EQ(round_trip(translated, "abc"), "xxx");
  folder.write("T.ctb", std::string(512, 'y'));
  int connecting = connect_loopback(port);
  ASSERT_TRUE(agent.wait_for_event("S1 Connected"));
  agent.post([] { kiv::after_configuration(1); });
  const std::string no_connect = "Can't connect to host: 127.0.0.1 ";
  EXPECT_TRUE(agent.wait_for_event(no_connect + std::to_string(EINTR)));
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 1, 60000));
  int late = connect_loopback(port);
  EXPECT_TRUE(agent.wait_for_event(no_connect + std::to_string(ETIMEDOUT), 1, 60000));
  EXPECT_EQ(receive(late), "");
  EXPECT_EQ(round_trip(translated, "abc"), "yyy");
  close(connecting);
  close(late);
  ASSERT_TRUE(agent.wait_until_idle(2));
  EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) == idle_descriptors; }));
  close(queued);
  close(silent);
}

// One peer sends its data and half-closes; the other receives every byte of
// it, then resets or half-closes too, or the first one resets a moment later.
// The half-close pause under way must not keep that last end from the peer
// that did not make it: it sees it well within the pause. Once both peers
// have half-closed, the relay has nothing left to do and ends at once, the
// half-closes passed on in the order they came.
enum class Last { FirstResets, OtherResets, OtherHalfCloses };

struct PeerEnds {
  const char* name;
  bool client_first;  // the client half-closes first (the Write pause), else the remote host
  Last last;
};

struct AfterAHalfClose : ConnectionFaults, testing::WithParamInterface<PeerEnds> {};

TEST_P(AfterAHalfClose, TheLastEndReachesThePeerThatDidNotMakeItWithinThePause) {
  const PeerEnds c = GetParam();
  const std::string data = random_bytes(300000, 7);
  std::promise<int> remote_fd;
  std::promise<bool> remote_resets;  // the remote host's last act: a reset, or a close
  LoopbackServer remote([&](int fd) {
    remote_fd.set_value(fd);
    if (remote_resets.get_future().get()) reset_on_close(fd);
  });
  folder.write("kiv.cnf", config_line("S1", port, remote.port()));
  InProcessAgent agent(folder);
  int client = connect_loopback(port, 10000, 4096);
  ASSERT_GE(client, 0);
  const int server = remote_fd.get_future().get();
  const int first = c.client_first ? client : server;
  const int second = c.client_first ? server : client;
  std::thread sender([&] {
    send_bytes(first, data);
    shutdown(first, SHUT_WR);
  });
  EXPECT_EQ(receive(second, data.size()), data) << "the bytes before the last end";
  sender.join();
  const auto half_closed = Clock::now();
  const bool reset = c.last != Last::OtherHalfCloses;
  int end;
  if (!reset) {
    shutdown(second, SHUT_WR);
    end = receive_to_end(first);
    remote_resets.set_value(false);
  } else if (c.client_first == (c.last == Last::FirstResets)) {  // the client resets
    close_with_reset(client);
    end = receive_to_end(server);
    remote_resets.set_value(false);
  } else {
    remote_resets.set_value(true);
    end = receive_to_end(client);
  }
  EXPECT_EQ(end, reset ? ECONNRESET : 0) << "the last end passed on as another";
  EXPECT_LT(Clock::now() - half_closed, std::chrono::milliseconds(2000))
      << "the last end waited for the pause";
  ASSERT_TRUE(agent.wait_for_event(reset ? "S1 - Connection closed(-1)"
                                         : "S1 - Connection closed(0)"));
  close(client);
  // A reset from a peer that had half-closed reaches the agent as a broken
  // pipe, which is a failure of the transfer; any other reset is none.
  if (c.last == Last::OtherResets) {
    EXPECT_EQ(agent.row(0).errors_t, 0u) << "a reset received counted as a transfer error";
  }
  if (!reset) {
    const Lines events = agent.events();
    const std::string first_name = c.client_first ? "S1 Write" : "S1 Read";
    const std::string second_name = c.client_first ? "S1 Read" : "S1 Write";
    EXPECT_EQ(Lines(events.end() - 3, events.end()),
              (Lines{first_name + " - Shutdown", second_name + " - Shutdown",
                     "S1 - Connection closed(0)"}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachPause, AfterAHalfClose,
    testing::Values(PeerEnds{"ClientHalfClosesThenResets", true, Last::FirstResets},
                    PeerEnds{"ClientHalfClosesRemoteResets", true, Last::OtherResets},
                    PeerEnds{"ClientHalfClosesRemoteToo", true, Last::OtherHalfCloses},
                    PeerEnds{"RemoteHalfClosesClientResets", false, Last::OtherResets},
                    PeerEnds{"RemoteHalfClosesThenResets", false, Last::FirstResets},
                    PeerEnds{"RemoteHalfClosesClientToo", false, Last::OtherHalfCloses}),
    [](const testing::TestParamInfo<PeerEnds>& info) { return info.param.name; });

// A service may forward to another service of the same agent; only a
// connection that comes back to a service of its own chain is refused.
TEST_F(ConnectionFaults, ChainedServicesRelayAndOnlyARealLoopIsRefused) {
  LoopbackServer echo(echo_handler);
  uint16_t a = free_port(), b = free_port(), c = free_port(), d = free_port();
  folder.write("kiv.cnf", config_line("A", a, b) + config_line("B", b, echo.port()) +
                              config_line("C", c, d) + config_line("D", d, c));
  InProcessAgent agent(folder);
  for (uint16_t p : {a, b, c, d}) ASSERT_TRUE(eventually([p] { return port_listening(p); }));
  EXPECT_EQ(round_trip(a, "through two services"), "through two services");
  EXPECT_EQ(round_trip(c, "in a circle"), "");
  const std::string c_text = std::to_string(c), d_text = std::to_string(d);
  EXPECT_TRUE(agent.wait_for_event("Can't connect to host: 127.0.0.1 " + c_text +
                                   " loops back to this agent (C " + c_text + " -> D " + d_text +
                                   " -> " + c_text + ")"));
}

// A row changed in the table (the Configuration dialog's "later") takes effect
// at the next restart: the running listener relays with the row it started with.
TEST_F(ConnectionFaults, ARunningServiceRelaysWithTheRowItWasStartedWith) {
  LoopbackServer old_host(echo_handler);
  LoopbackServer new_host([](int) {});
  folder.write("kiv.cnf", config_line("S1", port, old_host.port()));
  InProcessAgent agent(folder);
  ASSERT_TRUE(eventually([this] { return port_listening(port); }));
  kiv::ServiceConfig changed = agent.row(0).config();
  changed.remote_port = new_host.port();
  agent.row(0).set_config(changed);
  EXPECT_EQ(round_trip(port, "old"), "old") << "relayed to the row's new host";
}

}  // namespace
}  // namespace kiv_test
