#include "forward/socket_helpers.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "core/event_log.h"
#include "tests/loopback.h"

namespace kiv {
namespace {

// Linux gives the agent's outgoing connections ports from a range in which a
// service port may lie, and a connection there (open, or lingering a minute
// after its end) keeps the service from listening again after a restart
// unless it allows the port to be reused as the listener does. (Whether a
// bind then succeeds can't be tested here: other programs' connections on
// this machine may share the port.)
TEST(ConnectToHost, OutgoingConnectionsLeaveTheirPortFreeForAListener) {
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
