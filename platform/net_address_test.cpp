#include "platform/net_address.h"

#include <gtest/gtest.h>

#include "platform/socket.h"

using namespace kiv;

namespace {

std::string formatted(const char* text) {
  NetAddress address;
  if (!parse_address(text, address)) return "unread";
  char written[ADDRESS_TEXT_SIZE];
  format_address(address, written);
  return written;
}

TEST(NetAddress, ReadsAndWritesTheUsualTextFormsOfBothFamilies) {
  const std::pair<const char*, const char*> cases[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"::1", "::1"},
      {"2001:DB8:0:0:0:0:0:5", "2001:db8::5"},
      {"::ffff:192.0.2.7", "192.0.2.7"},
      {"127.1", "unread"},
      {"256.0.0.1", "unread"},
      {"2001:db8::5::1", "unread"},
      {" 127.0.0.1", "unread"},
      {"", "unread"},
  };
  for (const auto& [text, written] : cases) EXPECT_EQ(formatted(text), written) << text;
}

TEST(NetAddress, HostTextTakesTheOldIPv4FormsAndMappedAddressesAsIPv4) {
  const std::pair<const char*, const char*> cases[] = {
      {"127.1", "127.0.0.1"},
      {"0x7f.0.0.1", "127.0.0.1"},
      {"::ffff:127.0.0.1", "127.0.0.1"},
      {"::FFFF:7f00:2", "127.0.0.2"},
      {"::1", "::1"},
      {"::fffe:127.0.0.1", "::fffe:7f00:1"},
      {"127.0.0.1.1", nullptr},
  };
  for (const auto& [text, expected] : cases) {
    NetAddress address, wanted;
    if (expected == nullptr) {
      EXPECT_FALSE(parse_host_address(text, address)) << text;
      continue;
    }
    ASSERT_TRUE(parse_address(expected, wanted));
    EXPECT_TRUE(parse_host_address(text, address) && address == wanted) << text;
  }
}

TEST(NetAddress, LocalAddressesAreEveryLoopbackOneOfEitherFamily) {
  ASSERT_EQ(start_sockets(), 0);
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true}, {"::ffff:127.0.0.1", true}, {"198.51.100.1", false},
      {"2001:db8::5", false}};
  for (const auto& [text, local] : cases) {
    NetAddress address;
    ASSERT_TRUE(parse_address(text, address));
    EXPECT_EQ(is_local_address(address), local) << text;
  }
}

}  // namespace
