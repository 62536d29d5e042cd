#include "ui/log_view.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "core/event_log.h"
#include "core/timestamp.h"
#include "tests/temp_folder.h"

namespace kiv { namespace {

// Every line the log holds, each ending in CR LF.
std::string held_text() {
  std::string text;
  read_event_log([&text](const EventLog& log) {
    for (int i = 0; i < log.line_count; ++i) text += log.lines[i].get() + std::string("\r\n");
  });
  return text;
}

// The view rebuilds only when the log holds more lines than it shows, or at
// once once cleared. Then four threads log, paced so that refreshes fall
// among the appends and flushes, well past the flush threshold twice: every
// refresh shows whole lines, and the file gets them all.
TEST(LogView, RebuildsWhenTheLogHoldsMoreLinesThanShownAndShowsWholeLinesWhileThreadsLog) {
  kiv_test::TempFolder folder;
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  flush_event_log();
  LogView view;
  log_event("a"), log_event("b");
  EXPECT_TRUE(view.refresh() == LogView::Refresh::Rebuilt && view.text() == held_text());
  flush_event_log();
  log_event("c"), log_event("d");
  EXPECT_EQ(view.refresh(), LogView::Refresh::Unchanged);
  log_event("e");
  EXPECT_TRUE(view.refresh() == LogView::Refresh::Rebuilt && view.text() == held_text());
  view.clear();
  EXPECT_EQ(view.refresh(), LogView::Refresh::Rebuilt);

  flush_event_log();  // no kiv.log yet: drops c, d and e
  folder.write("kiv.log", "");
  std::atomic<int> running{4};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([w, &running] {
      for (int i = 0; i < 700; ++i) log_eventf("worker %d line %03d", w, i), std::this_thread::sleep_for(std::chrono::microseconds(100));
      --running;
    });
  }
  const size_t line = TIMESTAMP_LENGTH + sizeof ": worker 0 line 000\r\n" - 1;
  for (int round = 0; round < 1000000 && running > 0; ++round) {
    std::string text = view.refresh() == LogView::Refresh::Rebuilt ? view.text() : "";
    ASSERT_EQ(text.size() % line, 0u) << text;
    for (size_t at = 0; at < text.size(); at += line) ASSERT_EQ(text.substr(at + line - 21, 9) + text.substr(at + line - 2, 2), ": worker \r\n") << text;
  }
  for (std::thread& worker : workers) worker.join();
  flush_event_log();
  std::string file = folder.read_text("kiv.log");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 4 * 700);
}

} }  // namespace kiv
