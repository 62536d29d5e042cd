#include <gtest/gtest.h>
#include <winsock2.h>

#include "platform/socket.h"

using namespace kiv;

namespace {

TEST(Socket, KeepaliveIsOn) {
  ASSERT_EQ(start_sockets(), 0);
  Socket s = create_tcp_socket(AddressFamily::IPv4);
  ASSERT_NE(s, NO_SOCKET);
  ASSERT_EQ(set_keepalive(s), 0);
  DWORD on = 0;
  int length = sizeof on;
  ASSERT_EQ(getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_KEEPALIVE,
                       reinterpret_cast<char*>(&on), &length), 0);
  EXPECT_EQ(on, 1u);
  close_socket(s);
}

}  // namespace
