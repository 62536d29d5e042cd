// Faulty peers on both sides of a relay, with the whole agent in this
// process: the relay ends with the log lines and counters that say what
// happened, the agent comes back to rest (no connection, thread or
// descriptor left), the other services go on, and a reset still completes.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "core/lifecycle.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

constexpr int kIdleThreads = 3;  // two listeners and the control port
using Lines = std::vector<std::string>;

// S1 forwards to the remote host under test, S2 to an echo, KIV is the control port.
class ConnectionFaults : public ::testing::Test {
 protected:
  void start(uint16_t remote_port) {
    folder.write("kiv.cnf", config_line("S1", faulty_port, remote_port) + config_line("S2", other_port, echo.port()) +
                                config_line("KIV", control_port, control_port, "0.0.0.0"));
    agent = std::make_unique<InProcessAgent>(folder);
    ASSERT_TRUE(eventually([this] {
      return port_listening(faulty_port) && port_listening(other_port) && port_listening(control_port);
    }));
    idle_descriptors = descriptor_total(getpid());
  }
  kiv::ServiceRecord& s1() { return agent->row(0); }

  // Waits for `count` relays of S1 to end; their lines and failures, in order.
  Lines relays_ended(int count = 1) {
    EXPECT_TRUE(eventually([&] {
      return agent->event_count("S1 - Connection closed(-1)") + agent->event_count("S1 - Connection closed(0)") >= count;
    }));
    EXPECT_TRUE(agent->wait_until_idle(kIdleThreads));
    EXPECT_EQ(s1().connections, static_cast<uint32_t>(count));
    Lines lines;
    for (const std::string& e : agent->events()) {
      if (e.rfind("S1 ", 0) == 0 || e.rfind("Can't", 0) == 0 || e == "Connection ERROR") lines.push_back(e);
    }
    return lines;
  }

  void expect_back_at_rest() {
    EXPECT_TRUE(agent->wait_until_idle(kIdleThreads));
    EXPECT_TRUE(eventually([this] { return descriptor_total(getpid()) == idle_descriptors; }))
        << descriptor_total(getpid()) << " descriptors open, " << idle_descriptors << " at rest";
    EXPECT_EQ(round_trip(other_port, "still served"), "still served");
    EXPECT_EQ(agent->row(1).errors_t + agent->row(1).errors_o, 0u);
    int control = connect_loopback(control_port);
    EXPECT_EQ(receive(control, 16), "KIV Agent v1.4b\n");
    EXPECT_EQ((send_bytes(control, "RESET\r\n"), receive(control)), "RESET OK\n");
    close(control);
    EXPECT_TRUE(agent->wait_for_event("Resetting KIV..."));
    EXPECT_TRUE(agent->wait_until_idle(kIdleThreads));
  }

  TempFolder folder;
  LoopbackServer echo{echo_handler};
  uint16_t faulty_port = free_port(), other_port = free_port(), control_port = free_port();
  std::unique_ptr<InProcessAgent> agent;
  int idle_descriptors = 0;
};

TEST_F(ConnectionFaults, RemoteThatRefusesEndsTheRelayAtOnce) {
  start(free_port());
  EXPECT_EQ(round_trip(faulty_port, ""), "");
  EXPECT_EQ(relays_ended(), (Lines{"S1 Connected", "Can't connect to host: 127.0.0.1 " + std::to_string(ECONNREFUSED),
                                   "Connection ERROR", "S1 - Connection closed(-1)"}));
  EXPECT_EQ(s1().errors_t + s1().errors_o, 0u);  // a failed connect counts nowhere
  EXPECT_EQ(s1().state, kiv::SVC_ERROR);
  expect_back_at_rest();
}

TEST_F(ConnectionFaults, RemoteThatResetsMidStreamResetsTheClient) {
  std::atomic<bool> client_has_reply{false};
  LoopbackServer remote([&client_has_reply](int fd) {
    receive(fd, 1000);
    send_bytes(fd, std::string(500, 'r'));
    eventually([&client_has_reply] { return client_has_reply.load(); });
    close_with_reset(fd);
  });
  start(remote.port());
  int client = connect_loopback(faulty_port);
  ASSERT_TRUE(send_bytes(client, std::string(1000, 'c')));
  EXPECT_EQ(receive(client, 500), std::string(500, 'r'));
  client_has_reply = true;
  EXPECT_EQ(receive_to_end(client), ECONNRESET);
  close(client);
  EXPECT_EQ(relays_ended(), (Lines{"S1 Connected", "S1 Read Connection Reset (recv)", "Connection ERROR",
                                   "S1 - Connection closed(-1)"}));
  EXPECT_EQ(s1().errors_t, 0u);  // a reset counts nowhere
  EXPECT_EQ(s1().bytes_written, 1000u);
  EXPECT_EQ(s1().bytes_read, 500u);
  expect_back_at_rest();
}

// A remote listener with a full backlog drops connection requests, as a
// firewall does: neither a reset nor the client waits for the attempt for ever.
TEST_F(ConnectionFaults, RemoteThatDropsTheConnectRequestIsGivenUpOn) {
  uint16_t silent_port = free_port();
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, htons(silent_port), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 0), 0);
  int queued = connect_loopback(silent_port);
  start(silent_port);
  std::string failed = "Can't connect to host: 127.0.0.1 ";
  int first = connect_loopback(faulty_port);
  ASSERT_TRUE(agent->wait_for_event("S1 Connected"));
  agent->request_reset();
  EXPECT_TRUE(agent->wait_for_event(failed + std::to_string(EINTR), 1, 5000));
  ASSERT_TRUE(agent->wait_for_event("Resetting KIV..."));
  int second = connect_loopback(faulty_port);
  EXPECT_TRUE(agent->wait_for_event(failed + std::to_string(ETIMEDOUT), 1, 40000));
  EXPECT_EQ(receive(second), "");
  EXPECT_TRUE(agent->wait_for_event("S1 - Connection closed(-1)", 2));
  close(first);
  close(second);
  expect_back_at_rest();
  close(queued);
  close(silent);
}

TEST_F(ConnectionFaults, RemoteThatHalfClosesEarlyStillGetsTheClientsBytes) {
  std::promise<std::string> received;
  LoopbackServer remote([&received](int fd) {
    send_bytes(fd, "greeting");
    shutdown(fd, SHUT_WR);
    received.set_value(receive(fd));
  });
  start(remote.port());
  int client = connect_loopback(faulty_port);
  EXPECT_EQ(receive(client), "greeting");
  std::string request = random_bytes(500000, 2);
  ASSERT_TRUE(send_bytes(client, request));
  shutdown(client, SHUT_WR);
  EXPECT_EQ(relays_ended(),
            (Lines{"S1 Connected", "S1 Read - Shutdown", "S1 Write - Shutdown", "S1 - Connection closed(0)"}));
  close(client);
  EXPECT_EQ(received.get_future().get(), request);
  EXPECT_EQ(s1().bytes_read, 8u);
  EXPECT_EQ(s1().bytes_written, request.size());
  EXPECT_EQ(s1().state, kiv::SVC_READY);
  expect_back_at_rest();
}

// The Write pump sees the reset, or the Read pump's send fails first (a
// transfer error); the remote host is never told that the stream ended.
TEST_F(ConnectionFaults, ClientThatResetsMidStreamEndsTheRelayAsFailed) {
  LoopbackServer remote([](int fd) {
    for (int sent = 0; sent < 1024 && send_bytes(fd, std::string(65536, 's')); ++sent) {
    }
  });
  start(remote.port());
  int client = connect_loopback(faulty_port);
  EXPECT_EQ(receive(client, 65536).size(), 65536u);
  close_with_reset(client);
  Lines lines = relays_ended();
  EXPECT_EQ(lines.back(), "S1 - Connection closed(-1)");
  auto send_errors =
      std::count_if(lines.begin(), lines.end(), [](const std::string& e) { return e.rfind("S1 Read error (send) ", 0) == 0; });
  EXPECT_EQ(s1().errors_t, static_cast<uint32_t>(send_errors));
  EXPECT_GE(send_errors + agent->event_count("S1 Write Connection Reset (recv)"), 1);
  EXPECT_EQ(agent->event_count("S1 Write - Shutdown"), 0);
  expect_back_at_rest();
}

// An orderly end would tell a silent remote host that the request was complete.
TEST_F(ConnectionFaults, ClientResetIsPassedOnAsAResetEvenWhenTheRemoteHostIsSilent) {
  std::atomic<int> remote_end{-1};
  LoopbackServer silent([&remote_end](int fd) { remote_end = receive_to_end(fd); });
  start(silent.port());
  int client = connect_loopback(faulty_port);
  send_bytes(client, "request");
  ASSERT_TRUE(eventually([this] { return s1().bytes_written == 7; }));
  close_with_reset(client);
  EXPECT_EQ(relays_ended().back(), "S1 - Connection closed(-1)");
  ASSERT_TRUE(eventually([&remote_end] { return remote_end >= 0; }));
  EXPECT_EQ(remote_end, ECONNRESET);
  EXPECT_EQ(agent->event_count("S1 Write Connection Reset (recv)"), 1);
  EXPECT_EQ(agent->event_count("S1 Write - Shutdown") + agent->event_count("S1 Read - Shutdown"), 0);
  expect_back_at_rest();
}

// Both directions of the first relay have ended well; before the relay looks
// at them, a second client makes the service active: the first still ends well.
TEST_F(ConnectionFaults, AnotherRelayStartingDoesNotMakeAFinishedRelayAFailure) {
  start(echo.port());
  int first = connect_loopback(faulty_port);
  ASSERT_EQ((send_bytes(first, "one"), receive(first, 3)), "one");
  shutdown(first, SHUT_WR);
  ASSERT_TRUE(agent->wait_for_event("S1 Read - Shutdown"));
  int second = connect_loopback(faulty_port);
  ASSERT_EQ((send_bytes(second, "two"), receive(second, 3)), "two");
  ASSERT_TRUE(agent->wait_for_event("S1 - Connection closed(0)"));
  shutdown(second, SHUT_WR);
  relays_ended(2);
  EXPECT_EQ(agent->event_count("S1 - Connection closed(0)"), 2);
  close(first);
  close(second);
  expect_back_at_rest();
}

TEST_F(ConnectionFaults, ControlClientThatResetsCountsATransferErrorAndTheNextIsServed) {
  start(echo.port());
  kiv::ServiceRecord& control = agent->row(2);
  int first = connect_loopback(control_port);
  EXPECT_EQ(receive(first, 16), "KIV Agent v1.4b\n");
  EXPECT_EQ((send_bytes(first, "help\r\n"), receive(first, 54)).size(), 54u);
  close_with_reset(first);
  ASSERT_TRUE(agent->wait_for_event("KIV Port - Connection Closed"));
  EXPECT_EQ(control.errors_t, 1u);
  int second = connect_loopback(control_port);
  EXPECT_EQ(receive(second, 16), "KIV Agent v1.4b\n");
  EXPECT_EQ((send_bytes(second, "QUIT\r\n"), receive(second)), "KIV QUIT.\n");
  close(second);
  ASSERT_TRUE(agent->wait_until_idle(kIdleThreads));
  EXPECT_EQ(control.connections, 2u);
  EXPECT_EQ(control.bytes_read, 12u);
  EXPECT_EQ(control.bytes_written, 16u + 54u + 16u + 10u);
  expect_back_at_rest();
}

// Thousands of relays must fit in the descriptor limit: one whose burst has
// passed holds its two sockets while it waits, whatever carried the burst.
TEST(RelayDescriptors, RelayWaitingAfterABurstHoldsOnlyItsTwoSockets) {
  for (const char* table : {"NONE", "WINDOWS"}) {
    SCOPED_TRACE(table);
    LoopbackServer remote(echo_handler);
    TempFolder folder;
    uint16_t port = free_port();
    folder.write("kiv.cnf", config_line("B", port, remote.port(), "127.0.0.1", table));
    InProcessAgent agent(folder);
    ASSERT_TRUE(eventually([&] { return port_listening(port); }));
    const int at_rest = descriptor_total(getpid());
    int client = connect_loopback(port);
    set_receive_timeout(client, 60000);
    std::string burst(16 << 20, 'k');  // ASCII passes both tables unchanged
    std::thread sender([&] { send_bytes(client, burst); });
    EXPECT_EQ(receive(client, burst.size()).size(), burst.size());
    sender.join();
    // The client, the remote host's session, and the relay's two sockets.
    EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) == at_rest + 4; }))
        << descriptor_total(getpid()) - at_rest << " descriptors more than at rest";
    close(client);
    EXPECT_TRUE(agent.wait_for_event("B - Connection closed(0)"));
  }
}

}  // namespace
}  // namespace kiv_test
