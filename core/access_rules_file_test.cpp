#include "core/access_rules.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
TEST(AccessRulesFile, AFolderOrAFifoRefusesEveryClientAndNoFileAdmitsAll) {
  kiv_test::TempFolder folder;
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  const NetAddress client = address("127.0.0.1");
  ASSERT_EQ(mkdir(ACCESS_FILE_NAME, 0700), 0);
  load_access_rules();
  EXPECT_FALSE(admit_by_access_rules("S", client)) << "a folder";
  EXPECT_EQ(kiv_test::held_events().back(), "S Refused 127.0.0.1");
  ASSERT_EQ(rmdir(ACCESS_FILE_NAME), 0);
  ASSERT_EQ(mkfifo(ACCESS_FILE_NAME, 0600), 0);
  load_access_rules();
  EXPECT_EQ(kiv_test::held_events().back(), "Cannot open kiv.access");
  EXPECT_FALSE(admit_by_access_rules("S", client)) << "a FIFO";
  ASSERT_EQ(unlink(ACCESS_FILE_NAME), 0);
  load_access_rules();
  EXPECT_TRUE(admit_by_access_rules("S", client)) << "no file";
}

TEST(AccessRulesFile, AFileBeyondTheBoundIsCutAndRefusesEveryClient) {
  kiv_test::TempFolder folder;
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  std::string text = "S allow *\n";
  while (text.size() <= ACCESS_FILE_LIMIT) text += "# " + std::string(98, 'x') + "\n";
  folder.write(ACCESS_FILE_NAME, text + "S deny 127.0.0.1\n");
  load_access_rules();
  EXPECT_FALSE(admit_by_access_rules("T", address("::1")));
  EXPECT_EQ(kiv_test::held_events().back(), "T Refused ::1");
  folder.write(ACCESS_FILE_NAME, "");
  load_access_rules();
  EXPECT_TRUE(admit_by_access_rules("T", address("::1")));
}

}  // namespace
