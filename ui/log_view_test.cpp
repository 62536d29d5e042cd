#include "ui/log_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "core/event_log.h"
#include "core/timestamp.h"
#include "tests/working_folder.h"

using namespace kiv;

namespace {

// A view of a log whose lines all read "worker W line NNN".
struct LogViewTest : kiv_test::WorkingFolder {
  LogView view;

  bool shows_whole_lines() const {
    size_t line = TIMESTAMP_LENGTH + strlen(": worker 0 line 000\r\n");
    return strlen(view.text()) == line * view.lines_shown();
  }
};

}  // namespace

TEST_F(LogViewTest, RebuildsOnlyWhenTheLogHoldsMoreLinesThanShown) {
  log_event("worker 0 line 000");
  log_event("worker 0 line 001");
  EXPECT_EQ(view.refresh(), LogView::Refresh::Rebuilt);
  EXPECT_EQ(view.lines_shown(), 2);
  EXPECT_TRUE(shows_whole_lines()) << view.text();
  flush_event_log();
  log_event("worker 0 line 002");
  log_event("worker 0 line 003");
  EXPECT_EQ(view.refresh(), LogView::Refresh::Unchanged) << "a flush emptied the log";
  log_event("worker 0 line 004");
  EXPECT_EQ(view.refresh(), LogView::Refresh::Rebuilt);
  EXPECT_EQ(view.lines_shown(), 3);
  view.clear();
  EXPECT_EQ(view.refresh(), LogView::Refresh::Rebuilt) << "a cleared view rebuilds at once";
}

TEST_F(LogViewTest, ShowsWholeLinesWhileFourThreadsLogAndFlush) {
  folder.write("kiv.log", "");
  std::atomic<int> running{4};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([w, &running] {
      for (int i = 0; i < 700; ++i) {
        log_eventf("worker %d line %03d", w, i);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      --running;
    });
  }
  bool whole = true;  // every text rebuilt so far holds whole lines
  for (int round = 0; round < 1000000 && running > 0 && whole; ++round) {
    whole = view.refresh() != LogView::Refresh::Rebuilt || shows_whole_lines();
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_TRUE(whole) << view.text();
  flush_event_log();
  std::string file = folder.read_text("kiv.log");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 4 * 700) << "every line reached kiv.log";
}
