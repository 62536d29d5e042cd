#include "core/event_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/event_lines.h"
#include "tests/working_folder.h"

using namespace kiv;

namespace {

using EventLogFile = kiv_test::WorkingFolder;

// An echo whose reader is slow: it waits (a second at most) until the test has looked at the log.
std::promise<void> line_echoed;
std::promise<void> log_looked_at;

bool slow_echo(const char*) {
  line_echoed.set_value();
  log_looked_at.get_future().wait_for(std::chrono::seconds(1));
  return true;
}

}  // namespace

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

// The echo (the journal) and kiv.log hold the lines in one order: a line is echoed and takes its
// place in the log in one step, so no reader of the log sees an echoed line missing from it (had
// another thread's line been appended then, it would stand first in the log, second in the echo).
TEST_F(EventLogFile, EchoesALineAndHoldsItInOneStep) {
  set_log_echo(slow_echo);
  std::thread writer([] { log_event("one line"); });
  line_echoed.get_future().wait_for(std::chrono::seconds(20));
  std::vector<std::string> held = kiv_test::held_events();
  log_looked_at.set_value();
  writer.join();
  set_log_echo(nullptr);
  EXPECT_EQ(held, std::vector<std::string>{"one line"}) << "the line was echoed and not held";
}
