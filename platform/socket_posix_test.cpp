#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "platform/socket.h"

using namespace kiv;

namespace {

int option(Socket s, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  EXPECT_EQ(getsockopt(s, level, name, &value, &length), 0);
  return value;
}

TEST(Socket, KeepaliveProbesAVanishedPeerWithinTwoMinutes) {
  Socket s = create_tcp_socket(AddressFamily::IPv4);
  ASSERT_NE(s, NO_SOCKET);
  ASSERT_EQ(set_keepalive(s), 0);
  EXPECT_EQ(option(s, SOL_SOCKET, SO_KEEPALIVE), 1);
  const int probes = option(s, IPPROTO_TCP, TCP_KEEPINTVL) * option(s, IPPROTO_TCP, TCP_KEEPCNT);
  const int probing_s = option(s, IPPROTO_TCP, TCP_KEEPIDLE) + probes;
  EXPECT_GT(probing_s, 0);
  EXPECT_LE(probing_s, 120);
  close_socket(s);
}

}  // namespace
