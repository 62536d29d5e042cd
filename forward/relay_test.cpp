// Relays under load inside the test process: every byte arrives, in order,
// and the service's counters say what was relayed.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <thread>

#include "core/event_log.h"
#include "core/lifecycle.h"
#include "core/service_table.h"
#include "forward/socket_helpers.h"
#include "tests/config_line.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"

namespace kiv {
namespace {

using kiv_test::eventually;

// FNV-1a over a stream, block by block.
struct StreamHash {
  uint64_t value = 14695981039346656037ull;
  uint64_t bytes = 0;
  void add(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      value = (value ^ static_cast<uint8_t>(data[i])) * 1099511628211ull;
    }
    bytes += size;
  }
};

// Sends `size` pseudo-random bytes made from `seed` and half-closes; returns their hash.
StreamHash send_stream(int fd, uint64_t size, uint32_t seed) {
  StreamHash hash;
  std::mt19937 generator(seed);
  std::string block(65536, '\0');
  for (uint64_t sent = 0; sent < size;) {
    size_t length = static_cast<size_t>(std::min<uint64_t>(block.size(), size - sent));
    for (size_t i = 0; i < length; ++i) block[i] = static_cast<char>(generator());
    if (!kiv_test::send_bytes(fd, block.substr(0, length))) break;
    hash.add(block.data(), length);
    sent += length;
  }
  shutdown(fd, SHUT_WR);
  return hash;
}

StreamHash receive_stream(int fd) {
  StreamHash hash;
  char block[65536];
  for (;;) {
    ssize_t n = recv(fd, block, sizeof block, 0);
    if (n <= 0) return hash;
    hash.add(block, static_cast<size_t>(n));
  }
}

// Sends and receives at once, as both ends of a busy relay do.
void exchange(int fd, uint64_t size, uint32_t seed, StreamHash& sent, StreamHash& received) {
  std::thread sender([&] { sent = send_stream(fd, size, seed); });
  received = receive_stream(fd);
  sender.join();
}

ServiceRecord& row(int index) { return service_table().rows[index]; }

bool idle_with_listeners(int listeners) {
  return connection_count == 0 && thread_count == listeners;
}

TEST(RelayIntegrity, SixtyFourMebibytesEachWayAtOnceArriveWholeAndCounted) {
  constexpr uint64_t kSize = 64ull << 20;
  StreamHash remote_sent, remote_received;
  kiv_test::LoopbackServer remote([&](int fd) {
    exchange(fd, kSize, 2, remote_sent, remote_received);
  });
  kiv_test::TempFolder folder;
  uint16_t port = kiv_test::free_port();
  folder.write("kiv.cnf", kiv_test::config_line("BIG", port, remote.port(), "127.0.0.1", "NONE", 1));
  kiv_test::InProcessAgent agent(folder);

  int client = kiv_test::connect_loopback(port);
  ASSERT_GE(client, 0);
  kiv_test::set_receive_timeout(client, 120000);
  StreamHash client_sent, client_received;
  exchange(client, kSize, 1, client_sent, client_received);
  close(client);

  ASSERT_TRUE(agent.wait_for_event("BIG - Connection closed(0)"));
  EXPECT_EQ(client_sent.bytes, kSize);
  EXPECT_EQ(remote_received.bytes, kSize);
  EXPECT_EQ(remote_received.value, client_sent.value);
  EXPECT_EQ(client_received.bytes, kSize);
  EXPECT_EQ(client_received.value, remote_sent.value);
  EXPECT_EQ(row(0).bytes_written, kSize);
  EXPECT_EQ(row(0).bytes_read, kSize);
  EXPECT_EQ(row(0).connections, 1u);
  EXPECT_EQ(row(0).errors_t, 0u);
  EXPECT_TRUE(eventually([] { return idle_with_listeners(1); }));
}

TEST(RelayIntegrity, TwoHundredConcurrentRelaysOfRandomSizesEchoEveryByte) {
  constexpr int kClients = 200;
  kiv_test::LoopbackServer remote(kiv_test::echo_handler);
  kiv_test::TempFolder folder;
  uint16_t port = kiv_test::free_port();
  folder.write("kiv.cnf", kiv_test::config_line("MANY", port, remote.port(), "127.0.0.1", "NONE", 1));
  kiv_test::InProcessAgent agent(folder);

  std::mt19937 sizes(7);
  std::vector<uint64_t> size_of(kClients);
  uint64_t total = 0;
  for (uint64_t& size : size_of) total += size = sizes() % (256 * 1024);
  std::vector<int> intact(kClients, 0);
  std::vector<std::string> outcome(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      int fd = kiv_test::connect_loopback(port);
      if (fd < 0) {
        outcome[c] = "no connection";
        return;
      }
      kiv_test::set_receive_timeout(fd, 120000);
      StreamHash sent, received;
      exchange(fd, size_of[c], 100 + c, sent, received);
      close(fd);
      intact[c] = sent.bytes == size_of[c] && received.bytes == sent.bytes &&
                  received.value == sent.value;
      outcome[c] = std::to_string(sent.bytes) + " of " + std::to_string(size_of[c]) +
                   " bytes sent, " + std::to_string(received.bytes) + " received";
    });
  }
  for (std::thread& client : clients) client.join();

  for (int c = 0; c < kClients; ++c) {
    EXPECT_TRUE(intact[c]) << "client " << c << ": " << outcome[c];
  }
  ASSERT_TRUE(agent.wait_for_event("MANY - Connection closed(0)", kClients, 60000));
  EXPECT_EQ(row(0).connections, static_cast<uint32_t>(kClients));
  EXPECT_EQ(row(0).bytes_written, total);
  EXPECT_EQ(row(0).bytes_read, total);
  EXPECT_TRUE(eventually([] { return idle_with_listeners(1); }));
}

TEST(RelayOutcome, AnotherRelayStartingDoesNotMakeAFinishedRelayAFailure) {
  kiv_test::LoopbackServer remote(kiv_test::echo_handler);
  kiv_test::TempFolder folder;
  uint16_t port = kiv_test::free_port();
  folder.write("kiv.cnf", kiv_test::config_line("S1", port, remote.port(), "127.0.0.1", "NONE", 1));
  kiv_test::InProcessAgent agent(folder);

  int first = kiv_test::connect_loopback(port);
  ASSERT_GE(first, 0);
  kiv_test::send_bytes(first, "one");
  ASSERT_EQ(kiv_test::receive_exactly(first, 3), "one");
  shutdown(first, SHUT_WR);
  // Both directions of the first relay have ended well; before the relay
  // looks at them, a second client makes the service active again.
  ASSERT_TRUE(agent.wait_for_event("S1 Read - Shutdown"));
  int second = kiv_test::connect_loopback(port);
  ASSERT_GE(second, 0);
  kiv_test::send_bytes(second, "two");
  ASSERT_EQ(kiv_test::receive_exactly(second, 3), "two");

  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(0)"));
  EXPECT_EQ(agent.event_count("Connection ERROR"), 0);
  EXPECT_EQ(agent.event_count("S1 - Connection closed(-1)"), 0);
  close(first);
  close(second);
}

TEST(RelayFaults, ClientResetIsPassedOnAsAResetEvenWhenTheRemoteHostIsSilent) {
  std::atomic<int> remote_end{-1};
  kiv_test::LoopbackServer silent(
      [&remote_end](int fd) { remote_end = kiv_test::receive_to_end(fd); });
  kiv_test::TempFolder folder;
  uint16_t port = kiv_test::free_port();
  folder.write("kiv.cnf", kiv_test::config_line("S1", port, silent.port(), "127.0.0.1", "NONE", 1));
  kiv_test::InProcessAgent agent(folder);

  int client = kiv_test::connect_loopback(port);
  ASSERT_GE(client, 0);
  kiv_test::send_bytes(client, "request");
  ASSERT_TRUE(eventually([] { return row(0).bytes_written == 7; }));
  kiv_test::close_with_reset(client);

  ASSERT_TRUE(agent.wait_for_event("S1 Write Connection Reset (recv)"));
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)"));
  // An orderly end would tell the remote host that the request was complete.
  ASSERT_TRUE(eventually([&remote_end] { return remote_end >= 0; }));
  EXPECT_EQ(remote_end, ECONNRESET);
  EXPECT_EQ(agent.event_count("S1 Write - Shutdown") + agent.event_count("S1 Read - Shutdown"), 0);
  EXPECT_TRUE(eventually([] { return idle_with_listeners(1); }));
}

// Linux gives the agent's outgoing connections ports from a range in which a
// service port may lie, and a connection there (open, or lingering a minute
// after its end) keeps the service from listening again after a restart
// unless it allows the port to be reused as the listener does. (Whether a
// bind then succeeds can't be tested here: other programs' connections on
// this machine may share the port.)
TEST(RelayFaults, OutgoingConnectionsLeaveTheirPortFreeForAListener) {
  kiv_test::LoopbackServer remote(kiv_test::echo_handler);
  char message[MESSAGE_SIZE];
  Socket outgoing = connect_to_host("127.0.0.1", remote.port(), message);
  ASSERT_NE(outgoing, NO_SOCKET) << message;
  int reuse = 0;
  socklen_t length = sizeof reuse;
  ASSERT_EQ(getsockopt(outgoing, SOL_SOCKET, SO_REUSEADDR, &reuse, &length), 0);
  EXPECT_NE(reuse, 0);
  close_socket(outgoing);
}

}  // namespace
}  // namespace kiv
