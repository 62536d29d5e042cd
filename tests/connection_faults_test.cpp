// Faulty peers on both sides of a relay, with the whole agent in this
// process: whatever a remote host or a client does, the relay ends with the
// log lines and counters that say what happened, the agent comes back to
// rest (no connection or thread left counted, no descriptor left open),
// the other services go on, and a reset still completes.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <memory>

#include "core/lifecycle.h"
#include "tests/agent_process.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

constexpr int kIdleThreads = 3;  // two listeners and the control port

// S1 forwards to the faulty remote host, S2 to a well-behaved echo server,
// and KIV is the control port.
class ConnectionFaults : public ::testing::Test {
 protected:
  void start(uint16_t remote_port) {
    folder.write("kiv.cnf", config_line("S1", faulty_port, remote_port, "127.0.0.1", "NONE", 1) +
                                config_line("S2", other_port, echo.port(), "127.0.0.1", "NONE", 1) +
                                config_line("KIV", control_port, control_port, "0.0.0.0", "NONE", 1));
    agent = std::make_unique<InProcessAgent>(folder);
    ASSERT_TRUE(eventually([this] {
      return port_listening(faulty_port) && port_listening(other_port) && port_listening(control_port);
    }));
    idle_descriptors = descriptor_total(getpid());
  }

  kiv::ServiceRecord& faulty() { return agent->row(0); }

  // The relay of S1 has ended with `result`, logged once.
  void expect_relay_ended(int result) {
    std::string closed = "S1 - Connection closed(" + std::to_string(result) + ")";
    ASSERT_TRUE(agent->wait_for_event(closed)) << log_text();
    EXPECT_EQ(agent->event_count(closed), 1) << log_text();
    EXPECT_EQ(agent->event_count("Connection ERROR"), result == 0 ? 0 : 1);
    EXPECT_EQ(faulty().connections, 1u);
  }

  void expect_back_at_rest() {
    EXPECT_TRUE(agent->wait_until_idle(kIdleThreads));
    EXPECT_TRUE(eventually([this] { return descriptor_total(getpid()) == idle_descriptors; }))
        << descriptor_total(getpid()) << " descriptors open, " << idle_descriptors << " at rest";

    int client = connect_loopback(other_port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(send_bytes(client, "still served"));
    EXPECT_EQ(receive_exactly(client, 12), "still served");
    close(client);
    EXPECT_EQ(agent->row(1).errors_t + agent->row(1).errors_o, 0u);

    int control = connect_loopback(control_port);
    ASSERT_GE(control, 0);
    EXPECT_EQ(receive_exactly(control, 16), "KIV Agent v1.4b\n");
    ASSERT_TRUE(send_bytes(control, "RESET\r\n"));
    EXPECT_EQ(receive_until_closed(control), "RESET OK\n");
    close(control);
    EXPECT_TRUE(agent->wait_for_event("Resetting KIV..."));
    EXPECT_TRUE(agent->wait_until_idle(kIdleThreads));
  }

  // The agent's log so far, one line each, for failure messages.
  std::string log_text() {
    std::string text;
    for (const std::string& event : agent->events()) text += event + "\n";
    return text;
  }

  // Relays of S1 that have ended, however they ended.
  int relays_ended() {
    return agent->event_count("S1 - Connection closed(0)") +
           agent->event_count("S1 - Connection closed(-1)");
  }

  std::vector<std::string> s1_events() {
    std::vector<std::string> found;
    for (const std::string& event : agent->events()) {
      if (event.rfind("S1 ", 0) == 0) found.push_back(event);
    }
    return found;
  }

  TempFolder folder;
  LoopbackServer echo{echo_handler};
  uint16_t faulty_port = free_port();
  uint16_t other_port = free_port();
  uint16_t control_port = free_port();
  std::unique_ptr<InProcessAgent> agent;
  int idle_descriptors = 0;
};

TEST_F(ConnectionFaults, RemoteThatRefusesEndsTheRelayAtOnce) {
  start(refused_port());
  int client = connect_loopback(faulty_port);
  ASSERT_GE(client, 0);
  EXPECT_EQ(receive_until_closed(client), "");
  close(client);
  expect_relay_ended(-1);
  std::vector<std::string> events = agent->events();
  auto connected = std::find(events.begin(), events.end(), "S1 Connected");
  ASSERT_GE(events.end() - connected, 4) << log_text();
  EXPECT_EQ(connected[1], "Can't connect to host: 127.0.0.1 " + std::to_string(ECONNREFUSED));
  EXPECT_EQ(connected[2], "Connection ERROR");
  EXPECT_EQ(connected[3], "S1 - Connection closed(-1)");
  EXPECT_EQ(faulty().errors_t + faulty().errors_o, 0u);  // a failed connect counts nowhere
  EXPECT_EQ(faulty().state, kiv::SVC_ERROR);
  expect_back_at_rest();
}

TEST_F(ConnectionFaults, RemoteThatResetsMidStreamResetsTheClient) {
  std::atomic<bool> client_has_reply{false};
  LoopbackServer remote([&client_has_reply](int fd) {
    receive_exactly(fd, 1000);
    send_bytes(fd, std::string(500, 'r'));
    eventually([&client_has_reply] { return client_has_reply.load(); });
    close_with_reset(fd);
  });
  start(remote.port());
  int client = connect_loopback(faulty_port);
  ASSERT_GE(client, 0);
  ASSERT_TRUE(send_bytes(client, std::string(1000, 'c')));
  EXPECT_EQ(receive_exactly(client, 500), std::string(500, 'r'));
  client_has_reply = true;
  EXPECT_EQ(receive_to_end(client), ECONNRESET);
  close(client);
  expect_relay_ended(-1);
  std::vector<std::string> expected = {"S1 Connected", "S1 Read Connection Reset (recv)",
                                       "S1 - Connection closed(-1)"};
  EXPECT_EQ(s1_events(), expected);
  EXPECT_EQ(faulty().errors_t, 0u);  // a reset counts nowhere
  EXPECT_EQ(faulty().bytes_written, 1000u);
  EXPECT_EQ(faulty().bytes_read, 500u);
  expect_back_at_rest();
}

TEST_F(ConnectionFaults, RemoteThatDropsTheConnectRequestIsGivenUpOn) {
  // A listener whose backlog is full: the system drops further connection
  // requests to it, as a firewall in front of a remote host does.
  uint16_t silent_port = free_port();
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(silent_port);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 0), 0);
  int queued = connect_loopback(silent_port);
  start(silent_port);
  std::string failed = "Can't connect to host: 127.0.0.1 ";
  // A reset does not wait for the attempt.
  int first = connect_loopback(faulty_port);
  ASSERT_TRUE(agent->wait_for_event("S1 Connected"));
  agent->request_reset();
  EXPECT_TRUE(agent->wait_for_event(failed + std::to_string(EINTR), 1, 5000)) << log_text();
  ASSERT_TRUE(agent->wait_for_event("Resetting KIV..."));
  ASSERT_TRUE(eventually([this] { return port_listening(faulty_port); }));
  // Nor does the client: the attempt ends after a bounded time.
  int second = connect_loopback(faulty_port);
  EXPECT_TRUE(agent->wait_for_event(failed + std::to_string(ETIMEDOUT), 1, 40000)) << log_text();
  EXPECT_EQ(receive_until_closed(second), "");
  EXPECT_TRUE(agent->wait_for_event("S1 - Connection closed(-1)", 2));
  close(first);
  close(second);
  expect_back_at_rest();
  close(queued);
  close(silent);
}

TEST_F(ConnectionFaults, RemoteThatNeverAnswersStillGetsEveryByte) {
  SharedBytes received;
  LoopbackServer remote([&received](int fd) { received.put(receive_until_closed(fd)); });
  start(remote.port());
  std::string request = random_bytes(300000, 1);
  int client = connect_loopback(faulty_port);
  ASSERT_GE(client, 0);
  ASSERT_TRUE(send_bytes(client, request));
  shutdown(client, SHUT_WR);
  EXPECT_EQ(receive_until_closed(client), "");
  close(client);
  expect_relay_ended(0);
  EXPECT_EQ(received.get(), request);
  std::vector<std::string> expected = {"S1 Connected", "S1 Write - Shutdown", "S1 Read - Shutdown",
                                       "S1 - Connection closed(0)"};
  EXPECT_EQ(s1_events(), expected);
  EXPECT_EQ(faulty().bytes_written, request.size());
  EXPECT_EQ(faulty().bytes_read, 0u);
  EXPECT_EQ(faulty().state, kiv::SVC_READY);
  expect_back_at_rest();
}

TEST_F(ConnectionFaults, RemoteThatHalfClosesEarlyStillGetsTheClientsBytes) {
  SharedBytes received;
  LoopbackServer remote([&received](int fd) {
    send_bytes(fd, "greeting");
    shutdown(fd, SHUT_WR);
    received.put(receive_until_closed(fd));
  });
  start(remote.port());
  int client = connect_loopback(faulty_port);
  ASSERT_GE(client, 0);
  EXPECT_EQ(receive_until_closed(client), "greeting");
  ASSERT_TRUE(agent->wait_for_event("S1 Read - Shutdown"));
  std::string request = random_bytes(500000, 2);
  ASSERT_TRUE(send_bytes(client, request));
  shutdown(client, SHUT_WR);
  expect_relay_ended(0);
  close(client);
  EXPECT_EQ(received.get(), request);
  std::vector<std::string> expected = {"S1 Connected", "S1 Read - Shutdown", "S1 Write - Shutdown",
                                       "S1 - Connection closed(0)"};
  EXPECT_EQ(s1_events(), expected);
  EXPECT_EQ(faulty().bytes_read, 8u);
  EXPECT_EQ(faulty().bytes_written, request.size());
  expect_back_at_rest();
}

// A remote host that streams to its client until the relay drops it.
void stream_until_dropped(int fd) {
  std::string block(65536, 's');
  for (int sent = 0; sent < 1024 && send_bytes(fd, block); ++sent) {
  }
}

TEST_F(ConnectionFaults, ClientThatResetsMidStreamEndsTheRelayAsFailed) {
  LoopbackServer remote(stream_until_dropped);
  start(remote.port());
  int client = connect_loopback(faulty_port);
  ASSERT_GE(client, 0);
  EXPECT_EQ(receive_exactly(client, 65536).size(), 65536u);
  close_with_reset(client);
  expect_relay_ended(-1);
  // The Write pump sees the reset, or the Read pump's send fails first (a
  // transfer error); the remote host is never told that the stream ended.
  std::vector<std::string> events = s1_events();
  auto send_errors = std::count_if(events.begin(), events.end(), [](const std::string& e) {
    return e.rfind("S1 Read error (send) ", 0) == 0;
  });
  EXPECT_EQ(faulty().errors_t, static_cast<uint32_t>(send_errors));
  EXPECT_GE(send_errors + agent->event_count("S1 Write Connection Reset (recv)"), 1);
  EXPECT_EQ(agent->event_count("S1 Write - Shutdown"), 0);
  expect_back_at_rest();
}

TEST_F(ConnectionFaults, ControlClientThatResetsCountsATransferErrorAndTheNextIsServed) {
  start(echo.port());
  kiv::ServiceRecord& control_row = agent->row(2);
  int first = connect_loopback(control_port);
  ASSERT_GE(first, 0);
  EXPECT_EQ(receive_exactly(first, 16), "KIV Agent v1.4b\n");
  ASSERT_TRUE(send_bytes(first, "help\r\n"));
  EXPECT_EQ(receive_exactly(first, 54).size(), 54u);
  close_with_reset(first);
  ASSERT_TRUE(agent->wait_for_event("KIV Port - Connection Closed"));
  EXPECT_EQ(control_row.errors_t, 1u);

  int second = connect_loopback(control_port);
  ASSERT_GE(second, 0);
  EXPECT_EQ(receive_exactly(second, 16), "KIV Agent v1.4b\n");
  ASSERT_TRUE(send_bytes(second, "QUIT\r\n"));
  EXPECT_EQ(receive_until_closed(second), "KIV QUIT.\n");
  close(second);
  ASSERT_TRUE(agent->wait_until_idle(kIdleThreads));
  EXPECT_EQ(control_row.connections, 2u);
  EXPECT_EQ(control_row.bytes_read, 12u);
  EXPECT_EQ(control_row.bytes_written, 16u + 54u + 16u + 10u);
  EXPECT_EQ(control_row.errors_o, 0u);
  EXPECT_EQ(agent->event_count("KIV Port - Connection Closed"), 1);
  expect_back_at_rest();
}

}  // namespace
}  // namespace kiv_test
