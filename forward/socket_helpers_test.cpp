#include "forward/socket_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/event_log.h"
#include "tests/loopback.h"

using namespace kiv;

// Each text of a local address, of either family, names a service listening on
// every address; it is named by its port, and no other port names it.
TEST(OwnListenerAt, AnOwnPortOnALocalAddressOfEitherFamily) {
  KIV_REQUIRE_IPV6();
  ASSERT_EQ(start_sockets(), 0);
  const uint16_t port = kiv_test::free_port();
  ListeningSockets listening;
  char message[MESSAGE_SIZE];
  ASSERT_TRUE(open_listener("S", port, listening, message)) << message;
  for (const char* host : {"::1", "::ffff:127.0.0.1", "127.0.0.2", "localhost"}) {
    std::vector<NetAddress> addresses = look_up_host(host, message);
    ASSERT_FALSE(addresses.empty()) << host;
    char name[NAME_CAPACITY + 1] = "";
    for (const NetAddress& address : addresses) {
      EXPECT_TRUE(own_listener_at(address, port, name) && std::string(name) == "S") << host;
      EXPECT_FALSE(own_listener_at(address, port + 1, name)) << host;
    }
  }
  close_listener(listening);
}

// Texts that are no address and no name that resolves: none of them is a host to connect to.
TEST(LookUpHost, TextsThatNameNoHostGetTheOldLogLine) {
  for (const char* host : {"255.255.255.255", "1.2.3.4.5", "::ffff:255.255.255.255", "-x"}) {
    char message[MESSAGE_SIZE];
    EXPECT_TRUE(look_up_host(host, message).empty()) << host;
    EXPECT_EQ(std::string(message), std::string("Can't get IP address for ") + host);
  }
}
