#include "platform/socket_watcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace kiv;

namespace {

// What is done to a watched pair's far end, or to the watched socket itself.
enum class Event { BYTE_SENT, ABORTED, ABORTED_BEFORE_WATCH, NOTHING };

struct WatchedPair {
  Socket near_end = NO_SOCKET;
  Socket far_end = NO_SOCKET;
  std::atomic<int> calls{0};
};

void count_call(void* pair) { ++static_cast<WatchedPair*>(pair)->calls; }

// A loopback connection made with the platform's own calls, on the first free port from 20000 up.
bool connect_pair(WatchedPair& pair) {
  static uint16_t port = 20000;
  NetAddress loopback, peer;
  parse_address("127.0.0.1", loopback);
  Socket listening = create_tcp_socket(AddressFamily::IPv4);
  while (bind_address(listening, loopback, port, false) != 0 && port < 40000) ++port;
  pair.far_end = create_tcp_socket(AddressFamily::IPv4);
  bool connected = listen_on(listening, 1) == 0 &&
                   connect_to_address(pair.far_end, loopback, port, UINT64_MAX, nullptr) == 0 &&
                   (pair.near_end = accept_client(listening, peer)) != NO_SOCKET;
  close_socket(listening);
  return connected;
}

bool eventually(const std::vector<WatchedPair>& pairs, const std::vector<int>& calls) {
  for (int step = 0; step < 1000; ++step) {
    bool all = true;
    for (size_t i = 0; i < pairs.size(); ++i) all = all && pairs[i].calls == calls[i];
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace

TEST(SocketWatcher, EachWatchedSocketIsCalledOnceWhenBytesComeOrItIsAbortedAndOnlyThen) {
  ASSERT_EQ(start_sockets(), 0);
  std::vector<WatchedPair> pairs(40);
  std::vector<int> expected(pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_TRUE(connect_pair(pairs[i])) << i;
    const auto event = static_cast<Event>(i % 4);
    if (event == Event::ABORTED_BEFORE_WATCH) abort_connection(pairs[i].near_end);
    ASSERT_EQ(call_when_readable(pairs[i].near_end, count_call, &pairs[i]), 0);
    if (event == Event::BYTE_SENT) {
      EXPECT_EQ(send_all(pairs[i].far_end, "b", 1), 1);
    }
    if (event == Event::ABORTED) abort_connection(pairs[i].near_end);
    expected[i] = event == Event::NOTHING ? 0 : 1;
  }
  EXPECT_TRUE(eventually(pairs, expected));
  // Watched again, a called socket is called again, its byte still unread;
  // a silent one still watched is called at its end.
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (expected[i]++ == 0) {
      shutdown_sending(pairs[i].far_end);
    } else {
      ASSERT_EQ(call_when_readable(pairs[i].near_end, count_call, &pairs[i]), 0);
    }
  }
  EXPECT_TRUE(eventually(pairs, expected));
  for (WatchedPair& pair : pairs) {
    close_socket(pair.near_end);
    close_socket(pair.far_end);
  }
}
