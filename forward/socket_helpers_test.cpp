#include "forward/socket_helpers.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "core/event_log.h"
#include "tests/loopback.h"

using namespace kiv;

// An outgoing connection, open or lingering, may hold a service's port: it must not block a restart.
TEST(ConnectToHost, OutgoingConnectionsAllowTheirPortToBeReused) {
  kiv_test::LoopbackServer remote(kiv_test::echo_handler);
  char message[MESSAGE_SIZE];
  Socket outgoing = connect_to_host("127.0.0.1", remote.port(), message);
  int reuse = 0;
  socklen_t length = sizeof reuse;
  EXPECT_TRUE(getsockopt(outgoing, SOL_SOCKET, SO_REUSEADDR, &reuse, &length) == 0 && reuse != 0) << message;
  close_socket(outgoing);
}

// Each text of a local address, of either family, that reaches a service's own port is refused.
TEST(ConnectToHost, AnOwnPortOnALocalAddressOfEitherFamilyIsALoop) {
  KIV_REQUIRE_IPV6();
  ASSERT_EQ(start_sockets(), 0);
  const uint16_t port = kiv_test::free_port();
  ListeningSockets listening;
  char message[MESSAGE_SIZE];
  ASSERT_TRUE(open_listener("S", port, listening, message)) << message;
  for (const char* host : {"::1", "::ffff:127.0.0.1", "127.0.0.2", "localhost"}) {
    EXPECT_EQ(connect_to_host(host, port, message), NO_SOCKET) << host;
    EXPECT_NE(std::string(message).find("loops back to this agent"), std::string::npos) << host;
  }
  close_listener(listening, port);
}
