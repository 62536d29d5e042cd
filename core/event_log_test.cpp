#include "core/event_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/temp_folder.h"

namespace kiv {
namespace {

int held_lines() {
  int count = 0;
  read_event_log([&count](const EventLog& log) { count = log.line_count; });
  return count;
}

std::vector<std::string> held_texts() {
  std::vector<std::string> texts;
  read_event_log([&texts](const EventLog& log) {
    for (int i = 0; i < log.line_count; ++i) texts.emplace_back(log.lines[i].get() + 26);
  });
  return texts;
}

int lines_in(const std::string& text) {
  int count = 0;
  for (char c : text) count += c == '\n';
  return count;
}

class EventLogInFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    flush_event_log();  // no kiv.log yet: empties whatever is held
  }
  kiv_test::TempFolder folder;
};

TEST_F(EventLogInFolder, LineIsTimestampColonBlankText) {
  log_event("KIV port thread created");
  std::string line;
  read_event_log([&line](const EventLog& log) { line = log.lines[0].get(); });
  std::regex layout(
      "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}: KIV port thread created");
  EXPECT_TRUE(std::regex_match(line, layout)) << line;
}

TEST_F(EventLogInFolder, FlushesFirstWhen995LinesAreHeld) {
  folder.write("kiv.log", "");
  for (int i = 0; i < LOG_FLUSH_THRESHOLD; ++i) log_event(std::to_string(i).c_str());
  EXPECT_EQ(held_lines(), 995);
  EXPECT_EQ(folder.read("kiv.log"), "");
  log_event("after");
  EXPECT_EQ(held_texts(), std::vector<std::string>{"after"});
  std::string file = folder.read_text("kiv.log");
  EXPECT_EQ(lines_in(file), 995);
  EXPECT_EQ(file.substr(file.size() - 6), ": 994\n");
  EXPECT_EQ(file.substr(24, 4), ": 0\n");
}

TEST_F(EventLogInFolder, WithoutLogFileAFlushDiscardsAndCreatesNothing) {
  log_event("one");
  log_event("two");
  flush_event_log();
  EXPECT_EQ(held_lines(), 0);
  EXPECT_FALSE(folder.exists("kiv.log"));
}

TEST_F(EventLogInFolder, FlushWithNothingHeldWritesNothing) {
  folder.write("kiv.log", "kept\n");
  flush_event_log();
  EXPECT_EQ(folder.read("kiv.log"), "kept\n");
}

// A kiv.log that exists but cannot be appended to (a folder of that name
// stands in for a read-only file, which root could still write).
TEST_F(EventLogInFolder, UnwritableLogFileKeepsEveryLineHeld) {
  ASSERT_TRUE(std::filesystem::create_directory(folder.file("kiv.log")));
  log_event("one");
  flush_event_log();
  EXPECT_EQ(held_texts(), (std::vector<std::string>{"one", "Can't open log_file..."}));
}

TEST_F(EventLogInFolder, FullLogThatCannotBeFlushedNeverGrowsPast1000) {
  ASSERT_TRUE(std::filesystem::create_directory(folder.file("kiv.log")));
  for (int i = 0; i < 1200; ++i) log_event("line");
  EXPECT_EQ(held_lines(), LOG_CAPACITY);
  std::vector<std::string> texts = held_texts();
  // Each attempt at the threshold adds its failure line until the log is full.
  EXPECT_EQ(texts[LOG_FLUSH_THRESHOLD], "Can't open log_file...");
  EXPECT_EQ(texts[LOG_FLUSH_THRESHOLD + 1], "line");
}

TEST_F(EventLogInFolder, ManyThreadsLoggingAcrossFlushesLoseNoLine) {
  folder.write("kiv.log", "");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) log_event("busy");
    });
  }
  for (int pass = 0; pass < 50; ++pass) held_lines();
  for (std::thread& thread : threads) thread.join();
  flush_event_log();
  EXPECT_EQ(lines_in(folder.read("kiv.log")), 4000);
}

}  // namespace
}  // namespace kiv
