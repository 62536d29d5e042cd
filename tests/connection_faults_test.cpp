// Faulty peers, chains and table files around the relays of an agent run in
// this process: each relay ends with the lines and counters that say what
// happened, and the agent comes back to rest.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "agent/lifecycle.h"
#include "forward/conversion_tables.h"
#include "forward/forwarding.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"
#include "tests/translated.h"

namespace kiv_test {
namespace {

using Clock = std::chrono::steady_clock;

// The folder of the agent of each test, and the port of its first service.
struct ConnectionFaults : testing::Test {
  const uint16_t port = free_port();
  TempFolder folder;
};

// Each relay reads its table file again until one loads: a short one refuses
// the relay before the remote host is asked; a host that refuses ends the
// relay at once.
TEST_F(ConnectionFaults, ABadTableOrARefusingHostEndsTheRelayAtOnce) {
  folder.write("kiv.cnf", config_line("S1", port, free_port(), "127.0.0.1", "BAD"));
  folder.write("BAD.ctb", std::string(511, 'b'));
  InProcessAgent agent(folder);
  EXPECT_EQ(round_trip(port, ""), "");
  folder.write("BAD.ctb", std::string(512, 'b'));
  EXPECT_EQ(round_trip(port, ""), "");
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", 2));
  EXPECT_EQ(agent.event_count("Error in file: BAD.ctb"), 1);
  EXPECT_EQ(agent.event_count("S1 Connected"), 1) << "the host asked before the table loaded";
  const std::string refused = "Can't connect to host: 127.0.0.1 " + std::to_string(ECONNREFUSED);
  EXPECT_EQ(agent.event_count(refused), 1);
  EXPECT_EQ(agent.event_count("Connection ERROR"), 2);
  EXPECT_EQ(agent.row(0).errors_o, 1u) << "the table that failed";
}

// A relay takes the row its service started with, not one changed since (the
// Configuration dialog's "later"). Once its burst has passed, it holds its two
// sockets only: no pipe, no descriptor of a thread's.
TEST_F(ConnectionFaults, ARelayKeepsItsRowAndHoldsNoPipeAfterABurst) {
  LoopbackServer echo(echo_handler);
  folder.write("kiv.cnf", config_line("S1", port, echo.port()));
  InProcessAgent agent(folder);
  ASSERT_TRUE(eventually([this] { return port_listening(port); }));
  kiv::ServiceConfig changed = agent.row(0).config();
  changed.remote_port = free_port();
  agent.row(0).set_config(changed);
  const int idle_descriptors = descriptor_total(getpid());
  int client = connect_loopback(port);
  const std::string burst(16 << 20, 'k');
  std::thread sender([&] { send_bytes(client, burst); });
  EXPECT_EQ(receive(client, burst.size()).size(), burst.size())
      << "relayed with the row's new host";
  sender.join();
  // The relay's two sockets, the client and the echo's socket.
  EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) == idle_descriptors + 4; }));
  close(client);
}

// A reset cuts no connect to a healthy host, but interrupts one under way to
// a host that never answers once its grace has passed; a later one is given
// up on.
TEST_F(ConnectionFaults, AResetInterruptsOnlyAConnectThatHangs) {
  // A listener whose full backlog drops connection requests, as a firewall does.
  const uint16_t firewalled = free_port();
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, htons(firewalled), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 0), 0);
  int queued = connect_loopback(firewalled);
  LoopbackServer echo(echo_handler);
  const uint16_t healthy = free_port();
  folder.write("kiv.cnf", config_line("S1", port, firewalled) +
                              config_line("S2", healthy, echo.port()));
  InProcessAgent agent(folder);
  for (uint16_t p : {port, healthy}) ASSERT_TRUE(eventually([p] { return port_listening(p); }));
  const int idle_descriptors = descriptor_total(getpid());
  int connecting = connect_loopback(port);
  ASSERT_TRUE(agent.wait_for_event("S1 Connected"));
  std::vector<int> clients;
  for (int i = 0; i < 100; ++i) clients.push_back(connect_loopback(healthy));
  agent.post([] { kiv::after_configuration(1); });
  int relayed = 0;
  for (int fd : clients) {
    set_receive_timeout(fd, 5000);
    relayed += send_bytes(fd, "x") && receive(fd, 1) == "x";
    close(fd);
  }
  EXPECT_EQ(relayed, agent.row(1).connections) << "a reset cut a connect to a healthy host";
  const std::string no_connect = "Can't connect to host: 127.0.0.1 ";
  EXPECT_TRUE(agent.wait_for_event(no_connect + std::to_string(EINTR)));
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 1, 60000));
  int late = connect_loopback(port);
  EXPECT_TRUE(agent.wait_for_event(no_connect + std::to_string(ETIMEDOUT), 1, 60000));
  EXPECT_EQ(receive(late), "");
  close(connecting);
  close(late);
  ASSERT_TRUE(agent.wait_until_idle(2));
  EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) == idle_descriptors; }));
  close(queued);
  close(silent);
}

// One peer sends its data and half-closes; the other receives every byte of
// it, then resets or answers and half-closes too, or the first one resets a
// moment later. A half-close reaches the other peer after a pause that gives
// it time to answer, which must not hold up the last end: that reaches the
// peer that did not make it at once. Once both peers have half-closed, the
// relay ends, the half-closes passed on in the order they came.
enum class Last { FirstResets, OtherResets, OtherAnswers, OtherAnswersAfterThePause };

struct PeerEnds {
  const char* name;
  bool client_first;  // the client half-closes first (the Write pause), else the remote host
  Last last;
};

struct AfterAHalfClose : ConnectionFaults, testing::WithParamInterface<PeerEnds> {};

TEST_P(AfterAHalfClose, TheLastEndReachesThePeerThatDidNotMakeItAtOnce) {
  const PeerEnds c = GetParam();
  const std::string data = random_bytes(4 << 20, 7);  // sent each way
  std::promise<int> remote_fd;
  std::promise<bool> remote_resets;  // the remote host's last act: a reset, or a close
  LoopbackServer remote([&](int fd) {
    remote_fd.set_value(fd);
    if (remote_resets.get_future().get()) reset_on_close(fd);
  });
  // Where the remote host half-closes first, the bytes go through the built-in
  // table (each translated in a block) rather than through the kernel's pipes.
  const bool plain = c.client_first;
  folder.write("kiv.cnf", config_line("S1", port, remote.port(), "127.0.0.1",
                                      plain ? "NONE" : "WINDOWS"));
  const std::string to_remote = plain ? data : translated(data, kiv::WINDOWS_WRITE_TABLE);
  const std::string to_client = plain ? data : translated(data, kiv::WINDOWS_READ_TABLE);
  InProcessAgent agent(folder);
  int client = connect_loopback(port, 10000, 4096);
  const int server = remote_fd.get_future().get();
  const int first = c.client_first ? client : server;
  const int second = c.client_first ? server : client;
  const auto sending = Clock::now();
  std::thread sender([&] {
    send_bytes(first, data);
    shutdown(first, SHUT_WR);
  });
  EXPECT_EQ(receive(second, data.size()), c.client_first ? to_remote : to_client)
      << "the bytes before the last end";
  sender.join();
  if (c.last == Last::OtherAnswersAfterThePause) {
    EXPECT_EQ(receive_to_end(second), 0) << "the first half-close";
    EXPECT_GE(Clock::now() - sending, std::chrono::milliseconds(kiv::HALF_CLOSE_DELAY_MS))
        << "a half-close passed on before the pause";
  }
  const auto last_end = Clock::now();
  const bool reset = c.last == Last::FirstResets || c.last == Last::OtherResets;
  int end;
  if (!reset) {
    sender = std::thread([&] {
      send_bytes(second, data);
      shutdown(second, SHUT_WR);
    });
    EXPECT_EQ(receive(first, data.size()), c.client_first ? to_client : to_remote)
        << "an answer cut short";
    end = receive_to_end(first);
    sender.join();
    remote_resets.set_value(false);
    close(client);
  } else if (c.client_first == (c.last == Last::FirstResets)) {  // the client resets
    close_with_reset(client);
    end = receive_to_end(server);
    remote_resets.set_value(false);
  } else {
    remote_resets.set_value(true);
    end = receive_to_end(client);
    close(client);
  }
  EXPECT_EQ(end, reset ? ECONNRESET : 0) << "the last end passed on as another";
  EXPECT_LT(Clock::now() - last_end, std::chrono::milliseconds(2000))
      << "the last end waited for a pause";
  ASSERT_TRUE(agent.wait_for_event(reset ? "S1 - Connection closed(-1)"
                                         : "S1 - Connection closed(0)"));
  EXPECT_EQ(agent.row(0).errors_t, 0u) << "a peer's reset or end counted as a transfer error";
  if (!reset) {
    const std::vector<std::string> events = agent.events();
    const char* first_shut = c.client_first ? "S1 Write - Shutdown" : "S1 Read - Shutdown";
    EXPECT_EQ(events[events.size() - 3], first_shut) << "the half-closes passed on out of order";
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachPause, AfterAHalfClose,
    testing::Values(
        PeerEnds{"ClientHalfClosesThenResets", true, Last::FirstResets},
        PeerEnds{"ClientHalfClosesRemoteResets", true, Last::OtherResets},
        PeerEnds{"ClientHalfClosesRemoteAnswers", true, Last::OtherAnswers},
        PeerEnds{"ClientHalfClosesRemoteAnswersLater", true, Last::OtherAnswersAfterThePause},
        PeerEnds{"RemoteHalfClosesClientResets", false, Last::OtherResets},
        PeerEnds{"RemoteHalfClosesThenResets", false, Last::FirstResets},
        PeerEnds{"RemoteHalfClosesClientAnswers", false, Last::OtherAnswers},
        PeerEnds{"RemoteHalfClosesClientAnswersLater", false, Last::OtherAnswersAfterThePause}),
    [](const testing::TestParamInfo<PeerEnds>& info) { return info.param.name; });

// A connection that comes back to a service of its own chain is a loop: refused.
TEST_F(ConnectionFaults, AConnectionBackToAServiceOfItsChainIsRefused) {
  const uint16_t other = free_port();
  folder.write("kiv.cnf", config_line("C", port, other) + config_line("D", other, port));
  InProcessAgent agent(folder);
  ASSERT_TRUE(eventually([other] { return port_listening(other); }));
  EXPECT_EQ(round_trip(port, "in a circle"), "");
  const std::string c = std::to_string(port);
  const std::string d = std::to_string(other);
  EXPECT_TRUE(agent.wait_for_event("Can't connect to host: 127.0.0.1 " + c +
                                   " loops back to this agent (C " + c + " -> D " + d + " -> " +
                                   c + ")"));
}

}  // namespace
}  // namespace kiv_test
