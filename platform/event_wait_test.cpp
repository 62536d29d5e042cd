#include "platform/event_wait.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

using namespace kiv;

namespace {

// A listening socket on 127.0.0.1 for every test's connections, made with the
// platform's own calls so that the tests run on both systems; never closed.
Socket listener() {
  static const Socket listening = [] {
    start_sockets();
    NetAddress loopback;
    parse_address("127.0.0.1", loopback);
    Socket s = create_tcp_socket(AddressFamily::IPv4);
    EXPECT_EQ(bind_address(s, loopback, 0, false), 0);
    EXPECT_EQ(listen_on(s, MAX_LISTEN_BACKLOG), 0);
    return s;
  }();
  return listening;
}

// Two ends of a loopback connection. The listener blocks: its accept returns
// once the connect has reached it.
struct Connection {
  Socket near_end = NO_SOCKET;
  Socket far_end = NO_SOCKET;
  Connection() {
    const Socket listening = listener();  // the first call starts the sockets
    NetAddress address;
    parse_address("127.0.0.1", address);
    far_end = create_tcp_socket(AddressFamily::IPv4);
    if (start_connect(far_end, address, local_port(listening)) < 0) {
      ADD_FAILURE() << "no connect";
      return;
    }
    uint16_t port = 0;
    near_end = accept_client(listening, address, port);
    EXPECT_NE(near_end, NO_SOCKET);
  }
  ~Connection() {
    close_socket(near_end);
    close_socket(far_end);
  }
};

// One set for every test, as the agent has one for a loop's life: never destroyed.
EventWait& shared_wait() {
  static EventWait* wait = (start_sockets(), create_event_wait());
  EXPECT_NE(wait, nullptr);
  return *wait;
}

// Waits `rounds` times 50 ms and counts the events reported for the tag.
int count_events(void* tag, int rounds, Readiness* seen = nullptr) {
  int count = 0;
  ReadyEvent events[8];
  for (int round = 0; round < rounds; ++round) {
    int filled = wait_for_events(shared_wait(), 50, events, 8);
    for (int i = 0; i < filled; ++i) {
      if (events[i].tag != tag) continue;
      ++count;
      if (seen != nullptr) *seen |= events[i].events;
    }
  }
  return count;
}

// What the first report for the tag within 10 s says (None if none came).
Readiness first_report(void* tag) {
  Readiness seen = Readiness::None;
  for (int round = 0; round < 200 && seen == Readiness::None; ++round) count_events(tag, 1, &seen);
  return seen;
}

// A socket waited on for one thing and then for more, before the first came:
// the new interest holds at once. A relay's two directions may wait on one
// socket, one to read and one to send: news for one leaves the other
// waiting. A readiness is news once, until the socket is re-armed.
TEST(EventWait, EachInterestIsReportedOnceUntilTheSocketIsRearmed) {
  Connection connection;
  int tag = 0;
  ASSERT_EQ(add_waiting(shared_wait(), connection.near_end, Readiness::Readable, &tag), 0);
  EXPECT_EQ(count_events(&tag, 2), 0) << "nothing to read yet";
  const Readiness both = Readiness::Readable | Readiness::Writable;
  ASSERT_EQ(modify_waiting(shared_wait(), connection.near_end, both, &tag), 0);
  EXPECT_EQ(first_report(&tag), Readiness::Writable) << "a connected socket has room";
  ASSERT_EQ(send_without_waiting(connection.far_end, "x", 1), 1);
  EXPECT_TRUE(has(first_report(&tag), Readiness::Readable)) << "the read waits on, not re-armed";
  EXPECT_EQ(count_events(&tag, 10), 0) << "the byte nobody reads is news once";
  ASSERT_EQ(modify_waiting(shared_wait(), connection.near_end, Readiness::Readable, &tag), 0);
  EXPECT_EQ(count_events(&tag, 10), 1) << "re-armed, the unread byte is news again";
  delete_waiting(shared_wait(), connection.near_end);
}

// A relay direction waits with its socket watched for its whole life. The
// peer's reset is a failure, reported once (an aborted direction woken
// again and again would spin). Under wine, recv on a reset socket returns 0
// as at an orderly end: only the wait tells the two apart.
TEST(EventWait, APeersResetIsReportedOnceAsFailed) {
  Connection connection;
  int tag = 0;
  ASSERT_EQ(add_waiting(shared_wait(), connection.near_end, Readiness::Readable, &tag), 0);
  abort_connection(connection.far_end);
  close_socket(connection.far_end);
  connection.far_end = NO_SOCKET;
  Readiness seen = Readiness::None;
  EXPECT_EQ(count_events(&tag, 20, &seen), 1) << "events: " << static_cast<unsigned>(seen);
  EXPECT_TRUE(has(seen, Readiness::Failed)) << "events: " << static_cast<unsigned>(seen);
  delete_waiting(shared_wait(), connection.near_end);
}

// A socket that leaves the set with its wait still out, and is closed (or
// closed while still in the set), is never reported after; the set goes on
// serving the others.
TEST(EventWait, ASocketDeletedOrClosedWhileWaitedOnIsNeverReported) {
  Connection deleted, closed, live;
  int stale_tag = 0, live_tag = 0;
  ASSERT_EQ(add_waiting(shared_wait(), deleted.near_end, Readiness::Readable, &stale_tag), 0);
  ASSERT_EQ(add_waiting(shared_wait(), closed.near_end, Readiness::Readable, &stale_tag), 0);
  EXPECT_EQ(count_events(&stale_tag, 1), 0) << "a wait, so that both waits are out";
  delete_waiting(shared_wait(), deleted.near_end);
  close_socket(deleted.near_end);
  close_socket(closed.near_end);
  deleted.near_end = closed.near_end = NO_SOCKET;
  EXPECT_EQ(count_events(&stale_tag, 8), 0);
  const Readiness both = Readiness::Readable | Readiness::Writable;
  ASSERT_EQ(add_waiting(shared_wait(), live.near_end, both, &live_tag), 0);
  EXPECT_TRUE(has(first_report(&live_tag), Readiness::Writable));
  delete_waiting(shared_wait(), live.near_end);
}

TEST(EventWait, TwoThousandSocketsReadyAtOnceAreEachReportedOnce) {
  constexpr int COUNT = 2000;
  std::vector<Connection> connections(COUNT);
  for (Connection& connection : connections) {
    ASSERT_EQ(add_waiting(shared_wait(), connection.near_end, Readiness::Readable, &connection),
              0);
  }
  for (Connection& connection : connections) send_without_waiting(connection.far_end, "x", 1);
  std::multiset<void*> reported;
  ReadyEvent events[256];
  for (int round = 0; round < 100; ++round) {
    int filled = wait_for_events(shared_wait(), 100, events, 256);
    for (int i = 0; i < filled; ++i) reported.insert(events[i].tag);
    if (filled == 0 && reported.size() >= COUNT) break;
  }
  int once = 0;
  for (Connection& connection : connections) once += reported.count(&connection) == 1;
  EXPECT_EQ(once, COUNT);
  EXPECT_EQ(reported.size(), static_cast<size_t>(COUNT)) << "reports for other tags, or twice";
  for (Connection& connection : connections) delete_waiting(shared_wait(), connection.near_end);
}

}  // namespace
