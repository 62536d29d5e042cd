#include "core/access_rules.h"

#include <gtest/gtest.h>

#include "tests/event_lines.h"

using namespace kiv;

namespace {

NetAddress address(const char* text) {
  NetAddress parsed;
  EXPECT_TRUE(parse_address(text, parsed)) << text;
  return parsed;
}

AccessRules rules_of(const std::string& text) {
  return AccessRules::parse(text.data(), text.size());
}

struct Admission {
  std::string rules;
  const char* service;
  const char* client;
  bool admitted;
};

TEST(AccessRules, TheFirstMatchingRuleDecidesAndAnAllowRefusesTheRest) {
  const Admission cases[] = {
      {"", "MAIL", "192.0.2.1", true},
      {"MAIL allow 10.0.0.0/8", "MAIL", "10.1.2.3", true},
      {"MAIL allow 10.0.0.0/8", "MAIL", "11.0.0.1", false},
      {"MAIL allow 10.0.0.0/8", "WEB", "11.0.0.1", true},
      {"* allow 10.0.0.0/8", "WEB", "11.0.0.1", false},
      {"MAIL deny 10.0.0.7\nMAIL allow 10.0.0.0/8", "MAIL", "10.0.0.7", false},
      {"MAIL allow 10.0.0.0/8\nMAIL deny 10.0.0.7", "MAIL", "10.0.0.7", true},
      {"MAIL allow *\n* deny 192.0.2.7", "MAIL", "192.0.2.7", true},
      {"* deny 192.0.2.7", "KIV", "192.0.2.7", false},
      {"mail deny *", "MAIL", "192.0.2.7", true},
      {"S allow 0.0.0.0/0", "S", "::1", false},
      {"S allow 2001:db8::/32", "S", "10.0.0.1", false},
      {"S allow 10.0.0.0/8", "S", "::ffff:10.1.1.1", true},
      {"S allow ::ffff:10.0.0.0/104", "S", "10.9.9.9", true},
      {"S deny ::1", "S", "::1", false},
      {"  # who may connect\n\nS\tdeny 10.0.0.1   # one host\r\n", "S", "10.0.0.1", false},
      {"  # who may connect\n\nS\tdeny 10.0.0.1   # one host\r\n", "S", "10.0.0.2", true},
      {"S deny 10.0.0.1#no blank before the comment", "S", "10.0.0.1", false},
      // A byte-order mark opens the file, not its first name.
      {"\xEF\xBB\xBFS allow 127.0.0.1", "S", "127.0.0.2", false},
      {"\xEF\xBB\xBFS allow 127.0.0.1", "S", "127.0.0.1", true},
      // Each prefix length at its edge: the last address inside, the first outside.
      {"S deny 0.0.0.0/0", "S", "255.255.255.255", false},
      {"S deny 0.0.0.0/1", "S", "127.255.255.255", false},
      {"S deny 0.0.0.0/1", "S", "128.0.0.0", true},
      {"S deny 10.0.0.0/31", "S", "10.0.0.1", false},
      {"S deny 10.0.0.0/31", "S", "10.0.0.2", true},
      {"S deny 10.0.0.1/32", "S", "10.0.0.1", false},
      {"S deny 10.0.0.1/32", "S", "10.0.0.0", true},
      {"S deny 255.255.255.255", "S", "255.255.255.255", false},
      {"S deny ::/0", "S", "ffff::1", false},
      {"S deny 2001:db8::/127", "S", "2001:db8::1", false},
      {"S deny 2001:db8::/127", "S", "2001:db8::2", true},
      {"S deny 2001:db8::1/128", "S", "2001:db8::1", false},
      {"S deny 2001:db8::1/128", "S", "2001:db8::", true},
      {"S deny 2001:db8::/33", "S", "2001:db8:7fff::", false},
      {"S deny 2001:db8::/33", "S", "2001:db8:8000::", true},
      {"FIVE5 allow *", "FIVE5", "10.0.0.1", true},
  };
  for (const Admission& c : cases) {
    EXPECT_EQ(rules_of(c.rules).admits(c.service, address(c.client)), c.admitted)
        << c.rules << " / " << c.service << " / " << c.client;
  }
}

struct BadLine {
  std::string rules;
  bool every_service_closed;
};

// Each case's bad line is line 2: S refuses even the client its first line
// admits, and the other service stays open unless the line names no row.
TEST(AccessRules, ALineThatCannotBeReadClosesTheServiceItNamesOrEveryOne) {
  const BadLine cases[] = {
      {"S allow 10.0.0.0/33", false},
      {"S allow 256.0.0.1", false},
      {"S allow 010.0.0.1", false},
      {"S allow 10.0.1", false},
      {"S allow 10.0.0.1/", false},
      {"S allow 10.0.0.1/-1", false},
      {"S allow 10.0.0.1/0x8", false},
      {"S allow ::1/129", false},
      {"S allow fe80::1%1", false},
      {"S allow example.com", false},
      {"S permit 10.0.0.1", false},
      {"S ALLOW 10.0.0.1", false},
      {"S allow", false},
      {"S allow 10.0.0.1 10.0.0.2", false},
      {"S listen 10.0.0.0/8", false},
      {"S listen *", false},
      {"* deny nonsense", true},
      {"SIXSIX allow *", true},
      {"deny 10.0.0.1", true},
      {"\xEF\xBB\xBFS deny 10.0.0.1", true},
      {std::string("S allow\0 *", 10), true},
      {"S allow \x7f", true},
  };
  for (const BadLine& c : cases) {
    int logged = kiv_test::held_event_count("kiv.access: Error in line 2");
    AccessRules rules = rules_of("S allow 10.0.0.1\n" + c.rules + "\nT deny 10.0.0.9");
    EXPECT_FALSE(rules.admits("S", address("10.0.0.1"))) << c.rules;
    EXPECT_EQ(rules.admits("T", address("10.0.0.1")), !c.every_service_closed) << c.rules;
    EXPECT_EQ(kiv_test::held_event_count("kiv.access: Error in line 2"), logged + 1) << c.rules;
  }
}

TEST(AccessRules, ListenAddressesAreTheServicesOwnAndEveryRowsOnesInTheFilesOrder) {
  AccessRules rules = rules_of(
      "S listen 127.0.0.1\n* listen ::1\nT allow *\nS listen 127.0.0.1\nS listen ::ffff:10.0.0.1");
  EXPECT_EQ(rules.listen_addresses("S"),
            (std::vector<NetAddress>{address("127.0.0.1"), address("::1"), address("10.0.0.1")}));
  EXPECT_EQ(rules.listen_addresses("T"), std::vector<NetAddress>{address("::1")});
  EXPECT_TRUE(rules_of("S allow *").listen_addresses("S").empty());
}

// S's own addresses, ::1 and a repeated one among them, then two for every row, the first of
// which S has already: each address counts once, and the second fits only beside seven.
TEST(AccessRules, AListenRuleForEveryRowCountsAgainstTheServiceThatHasTheMost) {
  for (int count : {MAX_LISTEN_ADDRESSES - 1, MAX_LISTEN_ADDRESSES}) {
    std::string text = "S listen ::1\n";
    for (int i = 1; i < count; ++i) text += "S listen 127.0.0." + std::to_string(i) + "\n";
    AccessRules rules = rules_of(text + "S listen 127.0.0.1\n* listen ::1\n* listen ::2\n");
    EXPECT_EQ(rules.admits("T", address("127.0.0.1")), count < MAX_LISTEN_ADDRESSES)
        << "S listens on " << count << " addresses: one more for every row";
  }
}

// A rule for a name that no row has is kept (the row may come back) and said once a reading.
TEST(AccessRules, RulesNamingNoServiceAreLoggedWithTheirLine) {
  ServiceTable table;
  ServiceConfig row{};
  copy_field(row.name, "S");
  table.rows[0].set_config(row);
  table.service_count = 1;
  size_t before = kiv_test::held_events().size();
  rules_of("s deny *\nS deny 10.0.0.1\n* deny 10.0.0.2\nS bad\n\nT allow *")
      .log_rules_naming_no_service(table);
  std::vector<std::string> events = kiv_test::held_events();
  EXPECT_EQ(std::vector<std::string>(events.begin() + before, events.end()),
            (std::vector<std::string>{"kiv.access: Error in line 4",
                                      "kiv.access: line 1 names no service",
                                      "kiv.access: line 6 names no service"}));
}

}  // namespace
