#include "ui/log_view.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "core/event_log.h"
#include "core/timestamp.h"
#include "tests/temp_folder.h"

using namespace kiv;

// Rebuilt only when the log holds more lines than shown; whole lines while four threads log and flush.
TEST(LogView, RebuildsWhenTheLogHoldsMoreLinesThanShownAndShowsWholeLinesWhileThreadsLog) {
  kiv_test::TempFolder folder;
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  flush_event_log();
  LogView view;
  auto whole_lines = [&view] { return strlen(view.text()) == (TIMESTAMP_LENGTH + sizeof ": worker 0 line 000\r\n" - 1) * view.lines_shown(); };
  log_event("worker 0 line 000"), log_event("worker 0 line 001");
  EXPECT_TRUE(view.refresh() == LogView::Refresh::Rebuilt && whole_lines() && view.lines_shown() == 2);
  flush_event_log();
  for (int i = 2; i < 4; ++i) log_eventf("worker 0 line %03d", i);
  EXPECT_EQ(view.refresh(), LogView::Refresh::Unchanged);
  log_event("worker 0 line 004");
  EXPECT_TRUE(view.refresh() == LogView::Refresh::Rebuilt && whole_lines() && view.lines_shown() == 3);
  view.clear();
  EXPECT_EQ(view.refresh(), LogView::Refresh::Rebuilt);

  flush_event_log();  // no kiv.log yet: drops those lines
  folder.write("kiv.log", "");
  std::atomic<int> running{4};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w)
    workers.emplace_back([w, &running] {
      for (int i = 0; i < 700; ++i) log_eventf("worker %d line %03d", w, i), std::this_thread::sleep_for(std::chrono::microseconds(100));
      --running;
    });
  for (int round = 0; round < 1000000 && running > 0; ++round) ASSERT_TRUE(view.refresh() != LogView::Refresh::Rebuilt || whole_lines()) << view.text();
  for (std::thread& worker : workers) worker.join();
  flush_event_log();
  std::string file = folder.read_text("kiv.log");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 4 * 700);
}
