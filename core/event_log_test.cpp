#include "core/event_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "core/window_thread.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace kiv { namespace {

const std::string kFailure = "Can't open log_file...";

// Lines are "timestamp: text"; only a kiv.log that is there gets them. One
// that is there but can't be appended to now (a folder stands in for a
// read-only file, which root could still write; a FIFO; a file while no
// descriptor is left) keeps every line held, up to the log's capacity, and
// is reported once, however long the log stays full.
TEST(EventLog, FlushesFirstWhen995LinesAreHeldAndKeepsThemWhileKivLogCannotTakeThem) {
  kiv_test::TempFolder folder;
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  log_event("discarded");
  flush_event_log();
  EXPECT_TRUE(kiv_test::held_events().empty() && !folder.exists("kiv.log"));
  folder.write("kiv.log", "");
  for (int i = 0; i < LOG_FLUSH_THRESHOLD; ++i) log_event(std::to_string(i).c_str());
  EXPECT_EQ(folder.read("kiv.log"), "");
  log_event("after");
  EXPECT_EQ(kiv_test::held_events(), std::vector<std::string>{"after"});
  std::string file = folder.read("kiv.log");
  EXPECT_TRUE(std::regex_match(file.substr(0, file.find('\n')),
                               std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}: 0")))
      << file.substr(0, 40);
  EXPECT_EQ(file.substr(file.size() - 6), ": 994\n");

  kiv_test::KeptWarnings window;
  install_window_thread(&window);
  const std::string log = folder.file("kiv.log");
  for (std::string kind : {"folder", "FIFO", "no descriptor left"}) {
    SCOPED_TRACE(kind);
    rlimit limits{};
    getrlimit(RLIMIT_NOFILE, &limits);
    rlimit lowered = limits;
    lowered.rlim_cur = dup(2);  // the lowest free descriptor: every one below it is taken
    close(static_cast<int>(lowered.rlim_cur));
    remove(log.c_str());
    flush_event_log();  // no kiv.log: empties the log
    if (kind[0] == 'n') folder.write("kiv.log", "");
    EXPECT_EQ(kind == "folder" ? mkdir(log.c_str(), 0755) : kind == "FIFO" ? mkfifo(log.c_str(), 0644) : setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int i = 0; i < 1200; ++i) log_event("line");
    setrlimit(RLIMIT_NOFILE, &limits);
    std::vector<std::string> texts = kiv_test::held_events();
    EXPECT_EQ(texts.size(), size_t(LOG_CAPACITY));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), kFailure), 1);
    EXPECT_EQ(window.take(), std::vector<std::string>{kFailure});
  }
  flush_event_log();  // a descriptor free again: kiv.log gets every line held
  file = folder.read("kiv.log");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), LOG_CAPACITY);
  install_window_thread(nullptr);
}

} }  // namespace kiv
