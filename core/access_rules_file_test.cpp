#include "core/access_rules.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/event_lines.h"
#include "tests/temp_folder.h"

using namespace kiv;

namespace {

NetAddress address(const char* text) {
  NetAddress parsed;
  EXPECT_TRUE(parse_address(text, parsed)) << text;
  return parsed;
}

// A kiv.access that exists but is no readable file: what it says is unknown,
// so every service refuses every client; no file at all changes nothing.
TEST(AccessRulesFile, AnythingButAReadableFileRefusesEveryClientAndNoFileAdmitsAll) {
  kiv_test::TempFolder folder;
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  const NetAddress client = address("127.0.0.1");
  const std::pair<const char*, std::function<int()>> kinds[] = {
      {"a folder", [] { return mkdir(ACCESS_FILE_NAME, 0700); }},
      {"a FIFO", [] { return mkfifo(ACCESS_FILE_NAME, 0600); }},
      {"a link to nothing", [] { return symlink("gone", ACCESS_FILE_NAME); }},
  };
  for (const auto& [kind, make] : kinds) {
    ASSERT_EQ(make(), 0) << kind;
    load_access_rules();
    EXPECT_EQ(kiv_test::held_events().back(), "Cannot open kiv.access") << kind;
    EXPECT_FALSE(admit_by_access_rules("S", client)) << kind;
    ASSERT_EQ(remove(ACCESS_FILE_NAME), 0) << kind;
  }
  load_access_rules();
  EXPECT_TRUE(admit_by_access_rules("S", client)) << "no file";
}

// The bound is the file's size, wherever its lines end: rules past it are unknown.
TEST(AccessRulesFile, AFileOneByteOverTheBoundRefusesEveryClient) {
  kiv_test::TempFolder folder;
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  const std::string last = "S deny 127.0.0.1\n";
  for (size_t size : {ACCESS_FILE_LIMIT, ACCESS_FILE_LIMIT + 1}) {
    std::string text = std::string(size - last.size() - 1, '#') + "\n" + last;
    folder.write(ACCESS_FILE_NAME, text);
    load_access_rules();
    EXPECT_EQ(admit_by_access_rules("T", address("::1")), size == ACCESS_FILE_LIMIT)
        << size << " bytes";
    EXPECT_FALSE(admit_by_access_rules("S", address("127.0.0.1"))) << size << " bytes";
  }
  EXPECT_EQ(kiv_test::held_event_count("kiv.access: longer than 65536 bytes"), 1);
}

}  // namespace
