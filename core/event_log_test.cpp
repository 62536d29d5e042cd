#include "core/event_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/event_lines.h"
#include "tests/working_folder.h"

using namespace kiv;

using EventLogFile = kiv_test::WorkingFolder;

// Without kiv.log a flush drops the lines and makes no file; with it, a line that finds 995
// lines held flushes them there first.
TEST_F(EventLogFile, FlushesWhen995LinesAreHeldIntoAKivLogThatIsThere) {
  log_event("discarded");
  flush_event_log();
  EXPECT_EQ(kiv_test::held_events(), std::vector<std::string>{});
  EXPECT_NE(access("kiv.log", F_OK), 0) << "a flush made kiv.log";
  folder.write("kiv.log", "");
  for (int i = 0; i < LOG_FLUSH_THRESHOLD; ++i) log_event(std::to_string(i).c_str());
  log_event("after");
  EXPECT_EQ(kiv_test::held_events(), std::vector<std::string>{"after"});
  std::string file = folder.read("kiv.log");
  EXPECT_EQ(file.substr(file.size() - 6), ": 994\n") << "the last line flushed";
}

// A kiv.log that is there but can't be appended to keeps the lines held, up to capacity,
// and is reported once; once it is a file again it gets every line held.
TEST_F(EventLogFile, KeepsTheLinesWhileKivLogCannotTakeThem) {
  ASSERT_EQ(mkdir("kiv.log", 0755), 0);  // there, but no file to append to
  for (int i = 0; i < 1200; ++i) log_event("line");
  std::vector<std::string> texts = kiv_test::held_events();
  ASSERT_EQ(texts.size(), LOG_CAPACITY) << "the lines beyond capacity are dropped";
  EXPECT_EQ(texts[LOG_FLUSH_THRESHOLD], "Can't open log_file...") << "logged at the first flush";
  EXPECT_EQ(window.take(), std::vector<std::string>{"Can't open log_file..."});
  ASSERT_EQ(rmdir("kiv.log"), 0);
  folder.write("kiv.log", "");
  flush_event_log();
  std::string file = folder.read("kiv.log");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), LOG_CAPACITY);
}
