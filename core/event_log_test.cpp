#include "core/event_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>


#include "tests/event_lines.h"
#include "tests/temp_folder.h"

using namespace kiv;

// A kiv.log that is there but can't be appended to keeps the lines held, up to capacity, and is reported once.
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
  EXPECT_EQ(remove("kiv.log") + mkdir("kiv.log", 0755), 0);  // there, but no file to append to
  for (int i = 0; i < 1200; ++i) log_event("line");
  std::vector<std::string> texts = kiv_test::held_events();
  EXPECT_TRUE(texts.size() == LOG_CAPACITY && texts[LOG_FLUSH_THRESHOLD] == "Can't open log_file...");
  EXPECT_EQ(window.take(), std::vector<std::string>{"Can't open log_file..."});
  EXPECT_EQ(rmdir("kiv.log"), 0);
  folder.write("kiv.log", "");
  flush_event_log();  // a file again: kiv.log gets every line held
  file = folder.read("kiv.log");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), LOG_CAPACITY);
  install_window_thread(nullptr);
}
