#include "forward/socket_helpers.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "core/event_log.h"
#include "tests/loopback.h"

namespace kiv { namespace {

// Linux gives outgoing connections ports from a range a service port may lie
// in; such a connection (open, or lingering after its end) keeps the service
// from listening again after a restart unless it allows reuse as the listener
// does. (Whether a bind then succeeds can't be tested: other programs'
// connections may share the port.)
TEST(ConnectToHost, OutgoingConnectionsLeaveTheirPortFreeForAListener) {
  kiv_test::LoopbackServer remote(kiv_test::echo_handler);
  char message[MESSAGE_SIZE];
  Socket outgoing = connect_to_host("127.0.0.1", remote.port(), message);
  ASSERT_NE(outgoing, NO_SOCKET) << message;
  int reuse = 0;
  socklen_t length = sizeof reuse;
  EXPECT_TRUE(getsockopt(outgoing, SOL_SOCKET, SO_REUSEADDR, &reuse, &length) == 0 && reuse != 0);
  close_socket(outgoing);
}

} }  // namespace kiv
