#include "core/event_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>


#include "tests/event_lines.h"
#include "tests/temp_folder.h"

using namespace kiv;

// A kiv.log that is there but can't be opened keeps the lines held, up to capacity, and is reported once.
TEST(EventLog, FlushesFirstWhen995LinesAreHeldAndKeepsThemWhileKivLogCannotTakeThem) {
  kiv_test::TempFolder folder;
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  log_event("discarded");
  flush_event_log();
  EXPECT_TRUE(kiv_test::held_events().empty() && !folder.exists("kiv.log"));
  folder.write("kiv.log", "");
  for (int i = 0; i < LOG_FLUSH_THRESHOLD; ++i) log_event(std::to_string(i).c_str());
  log_event("after");
  EXPECT_EQ(kiv_test::held_events(), std::vector<std::string>{"after"});
  std::string file = folder.read("kiv.log");
  EXPECT_EQ(file.substr(file.size() - 6), ": 994\n");

  kiv_test::KeptWarnings window;
  install_window_thread(&window);
  folder.write("kiv.log", "");
  rlimit limits{};
  getrlimit(RLIMIT_NOFILE, &limits);
  rlimit lowered{static_cast<rlim_t>(dup(2)), limits.rlim_max};  // the lowest free descriptor: all below are taken
  close(static_cast<int>(lowered.rlim_cur));
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  for (int i = 0; i < 1200; ++i) log_event("line");
  setrlimit(RLIMIT_NOFILE, &limits);
  std::vector<std::string> texts = kiv_test::held_events();
  EXPECT_TRUE(texts.size() == LOG_CAPACITY && texts[LOG_FLUSH_THRESHOLD] == "Can't open log_file...");
  EXPECT_EQ(window.take(), std::vector<std::string>{"Can't open log_file..."});
  flush_event_log();  // a descriptor free again: kiv.log gets every line held
  file = folder.read("kiv.log");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), LOG_CAPACITY);
  install_window_thread(nullptr);
}
