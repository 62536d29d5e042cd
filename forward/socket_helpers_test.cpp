#include "forward/socket_helpers.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "core/event_log.h"
#include "tests/loopback.h"

using namespace kiv;

// An outgoing connection, open or lingering, may hold a service's port: it must not block a restart.
TEST(BeginConnect, OutgoingConnectionsAllowTheirPortToBeReused) {
  kiv_test::LoopbackServer remote(kiv_test::echo_handler);
  char message[MESSAGE_SIZE];
  bool in_progress = false;
  Socket outgoing = begin_connect("127.0.0.1", dotted_address("127.0.0.1"), remote.port(), nullptr,
                                  nullptr, &in_progress, message);
  int reuse = 0;
  socklen_t length = sizeof reuse;
  EXPECT_TRUE(getsockopt(outgoing, SOL_SOCKET, SO_REUSEADDR, &reuse, &length) == 0 && reuse != 0) << message;
  close_socket(outgoing);
}
