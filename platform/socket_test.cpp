#include "platform/socket.h"

#include <gtest/gtest.h>

#include "platform/clock.h"

using namespace kiv;

namespace {

// Polls `done` every 10 ms for at most 10 s.
template <typename Done>
bool within_deadline(Done done) {
  for (int tries = 0; tries < 1000; ++tries) {
    if (done()) return true;
    sleep_ms(10);
  }
  return false;
}

// A client of `loopback`:`port` once its connect has ended.
Socket connected_client(const NetAddress& loopback, uint16_t port) {
  Socket client = create_tcp_socket(AddressFamily::IPv4);
  EXPECT_GE(start_connect(client, loopback, port), 0);
  EXPECT_TRUE(within_deadline([client] { return send_without_waiting(client, "x", 1) == 1; }))
      << "connect never ended: " << last_socket_error();
  return client;
}

// A client that resets its connection while it waits in the backlog is its
// own failure: the listener goes on to the next client.
TEST(Socket, AClientResetBeforeItIsAcceptedLeavesTheListenerAccepting) {
  ASSERT_EQ(start_sockets(), 0);
  NetAddress loopback;
  ASSERT_TRUE(parse_address("127.0.0.1", loopback));
  Socket listening = create_tcp_socket(AddressFamily::IPv4);
  ASSERT_EQ(bind_address(listening, loopback, 0, false), 0);
  ASSERT_EQ(listen_on(listening, 4), 0);
  ASSERT_EQ(set_non_blocking(listening), 0);
  Socket reset = connected_client(loopback, local_port(listening));
  abort_connection(reset);
  close_socket(reset);
  Socket alive = connected_client(loopback, local_port(listening));
  bool alive_accepted = false;
  within_deadline([&] {
    NetAddress peer;
    uint16_t peer_port = 0;
    Socket accepted = accept_client(listening, peer, peer_port);
    if (accepted != NO_SOCKET) {
      alive_accepted = peer_port == local_port(alive);
      close_socket(accepted);
      return alive_accepted;
    }
    int error = last_socket_error();
    EXPECT_TRUE(is_would_block(error) || is_pending_connection_error(error)) << error;
    return false;
  });
  EXPECT_TRUE(alive_accepted);
  close_socket(alive);
  close_socket(listening);
}

}  // namespace
