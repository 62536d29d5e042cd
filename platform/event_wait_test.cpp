#include "platform/event_wait.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"

using namespace kiv;

namespace {

// Two ends of a loopback connection, made with the platform's own calls so
// that the test runs on both systems.
struct Connection {
  Socket near_end = NO_SOCKET;
  Socket far_end = NO_SOCKET;
  ~Connection() {
    close_socket(near_end);
    close_socket(far_end);
  }
};

void connect_ends(Connection& connection) {
  ASSERT_EQ(start_sockets(), 0);
  NetAddress loopback;
  ASSERT_TRUE(parse_address("127.0.0.1", loopback));
  Socket listening = create_tcp_socket(AddressFamily::IPv4);
  ASSERT_EQ(bind_address(listening, loopback, 0, false), 0);
  ASSERT_EQ(listen_on(listening, 1), 0);
  connection.far_end = create_tcp_socket(AddressFamily::IPv4);
  ASSERT_GE(start_connect(connection.far_end, loopback, local_port(listening)), 0);
  NetAddress address;
  uint16_t port = 0;
  for (int tries = 0; tries < 500 && connection.near_end == NO_SOCKET; ++tries) {
    connection.near_end = accept_client(listening, address, port);
    if (connection.near_end == NO_SOCKET) sleep_ms(10);
  }
  close_socket(listening);
  ASSERT_NE(connection.near_end, NO_SOCKET);
}

// One set for every test, as the agent has one for its life: never destroyed.
EventWait* shared_wait() {
  static EventWait* wait = (start_sockets(), create_event_wait());
  return wait;
}

// Waits `rounds` times 50 ms and counts the events reported for the tag.
int count_events(EventWait& wait, void* tag, int rounds, Readiness* seen = nullptr) {
  int count = 0;
  ReadyEvent events[8];
  for (int round = 0; round < rounds; ++round) {
    int filled = wait_for_events(wait, 50, events, 8);
    for (int i = 0; i < filled; ++i) {
      if (events[i].tag != tag) continue;
      ++count;
      if (seen != nullptr) *seen |= events[i].events;
    }
  }
  return count;
}

TEST(EventWait, AReadinessIsReportedOnceUntilTheSocketIsRearmed) {
  Connection connection;
  connect_ends(connection);
  EventWait* wait = shared_wait();
  ASSERT_NE(wait, nullptr);
  int tag = 0;
  ASSERT_EQ(add_waiting(*wait, connection.near_end, Readiness::Readable, &tag), 0);
  ASSERT_EQ(send_without_waiting(connection.far_end, "x", 1), 1);
  EXPECT_EQ(count_events(*wait, &tag, 10), 1) << "the byte nobody reads is news once";
  ASSERT_EQ(modify_waiting(*wait, connection.near_end, Readiness::Readable, &tag), 0);
  EXPECT_EQ(count_events(*wait, &tag, 10), 1) << "re-armed, the unread byte is news again";
  delete_waiting(*wait, connection.near_end);
}

// A relay direction waits in the loop with its socket watched for its whole
// life. When its peer resets, the wait must say so once and then stay quiet
// (an aborted direction that kept being woken would spin for ever). Under
// wine a peer's reset shows as an end of the data, not as Windows' 10054: the
// test counts the news whatever kind it is.
TEST(EventWait, APeersResetIsReportedOnceAndNeverAgain) {
  Connection connection;
  connect_ends(connection);
  EventWait* wait = shared_wait();
  ASSERT_NE(wait, nullptr);
  int tag = 0;
  ASSERT_EQ(add_waiting(*wait, connection.near_end, Readiness::Readable, &tag), 0);
  EXPECT_EQ(count_events(*wait, &tag, 2), 0);
  abort_connection(connection.far_end);
  close_socket(connection.far_end);
  connection.far_end = NO_SOCKET;
  Readiness seen = Readiness::None;
  EXPECT_EQ(count_events(*wait, &tag, 20, &seen), 1) << "events: " << static_cast<unsigned>(seen);
  EXPECT_TRUE(has(seen, Readiness::Readable | Readiness::Failed));
  delete_waiting(*wait, connection.near_end);
}

TEST(EventWait, AWakeFromAnotherThreadEndsAWaitWithoutALimit) {
  ASSERT_EQ(start_sockets(), 0);
  EventWait* wait = shared_wait();
  ASSERT_NE(wait, nullptr);
  std::thread waker([wait] { wake_waiting(*wait); });
  ReadyEvent events[1];
  EXPECT_EQ(wait_for_events(*wait, -1, events, 1), 0);
  waker.join();
}

}  // namespace
