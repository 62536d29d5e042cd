#include "core/event_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "core/window_thread.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace kiv { namespace {

using kiv_test::held_events;

int lines_in(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

class EventLogInFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    flush_event_log();  // no kiv.log yet: empties whatever is held
  }
  kiv_test::TempFolder folder;
};

// Lines are "timestamp: text"; with no kiv.log a flush drops them.
TEST_F(EventLogInFolder, FlushesFirstWhen995LinesAreHeldAndOnlyIntoAnExistingFile) {
  log_event("discarded");
  flush_event_log();
  EXPECT_TRUE(held_events().empty());
  EXPECT_FALSE(folder.exists("kiv.log"));
  folder.write("kiv.log", "");
  for (int i = 0; i < LOG_FLUSH_THRESHOLD; ++i) log_event(std::to_string(i).c_str());
  EXPECT_EQ(held_events().size(), 995u);
  EXPECT_EQ(folder.read("kiv.log"), "");
  log_event("after");
  EXPECT_EQ(held_events(), std::vector<std::string>{"after"});
  std::string file = folder.read("kiv.log");
  EXPECT_EQ(lines_in(file), 995);
  EXPECT_TRUE(std::regex_match(file.substr(0, file.find('\n')),
                               std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|"
                                          "Nov|Dec) [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}: 0")))
      << file.substr(0, 40);
  EXPECT_EQ(file.substr(file.size() - 6), ": 994\n");
}

// A kiv.log that is there but can't be appended to now keeps the lines for a
// later flush: a folder (it stands in for a read-only file, which root could
// still write), a FIFO, a file while the process is out of descriptors.
TEST_F(EventLogInFolder, LogFileThatCannotBeAppendedToNowKeepsEveryLineHeld) {
  const std::string log = folder.file("kiv.log");
  for (std::string kind : {"folder", "FIFO", "no descriptor left"}) {
    SCOPED_TRACE(kind);
    const bool no_fd = kind == "no descriptor left";
    if (no_fd) folder.write("kiv.log", "");
    ASSERT_EQ(kind == "folder" ? mkdir(log.c_str(), 0755) : kind == "FIFO" ? mkfifo(log.c_str(), 0644) : 0, 0);
    rlimit limits{};
    getrlimit(RLIMIT_NOFILE, &limits);
    rlimit lowered = limits;
    lowered.rlim_cur = dup(2);  // the lowest free descriptor: every one below it is taken
    close(static_cast<int>(lowered.rlim_cur));
    if (no_fd) setrlimit(RLIMIT_NOFILE, &lowered);
    log_event("one");
    flush_event_log();
    setrlimit(RLIMIT_NOFILE, &limits);
    EXPECT_EQ(held_events(), (std::vector<std::string>{"one", "Can't open log_file..."}));
    if (no_fd) {
      flush_event_log();
      EXPECT_EQ(lines_in(folder.read("kiv.log")), 2);
    }
    remove(log.c_str());
    flush_event_log();  // no kiv.log: empties the log
  }
}

// Filling up while kiv.log can't be appended to, the log holds no more than
// its capacity, and warns once, not at every line past the threshold.
TEST_F(EventLogInFolder, FullLogThatCannotBeFlushedNeverGrowsPast1000AndWarnsOnce) {
  kiv_test::KeptWarnings window;
  install_window_thread(&window);
  ASSERT_EQ(mkdir(folder.file("kiv.log").c_str(), 0755), 0);
  for (int i = 0; i < 1200; ++i) log_event("line");
  install_window_thread(nullptr);
  std::vector<std::string> texts = held_events();
  ASSERT_EQ(texts.size(), static_cast<size_t>(LOG_CAPACITY));
  EXPECT_EQ(texts[LOG_FLUSH_THRESHOLD], "Can't open log_file...");
  EXPECT_EQ(window.take(), std::vector<std::string>{"Can't open log_file..."});
}

} }  // namespace kiv
