// The Log dialog's text: when it is rebuilt, what it holds, and its pass over
// the log while other threads log and flush.
#include "ui/log_view.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <thread>

#include "core/event_log.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace kiv { namespace {

/// The texts of the view's lines, timestamps taken off; each line must end with CR LF.
std::vector<std::string> shown_texts(const LogView& view) {
  std::string text = view.text();
  std::vector<std::string> texts;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    texts.push_back(kiv_test::event_text(text.substr(start, end - start)));
  }
  EXPECT_EQ(start, text.size()) << "text after the last line break";
  return texts;
}

// The view rebuilds, showing every line held, only when the log holds more
// lines than it shows, or at once once cleared. Then four threads log, paced
// so that refreshes fall among the appends and flushes, well past the flush
// threshold twice: every refresh shows whole lines, and the file gets them all.
TEST(LogView, RebuildsWhenTheLogHoldsMoreLinesThanShownAndShowsWholeLinesWhileThreadsLog) {
  kiv_test::TempFolder folder;
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  flush_event_log();
  LogView view;
  log_event("a"), log_event("b");
  EXPECT_EQ(view.refresh(), LogView::Refresh::Rebuilt);
  EXPECT_EQ(shown_texts(view), (std::vector<std::string>{"a", "b"}));
  flush_event_log();
  log_event("c"), log_event("d");
  EXPECT_EQ(view.refresh(), LogView::Refresh::Unchanged);
  log_event("e");
  EXPECT_EQ(view.refresh(), LogView::Refresh::Rebuilt);
  EXPECT_EQ(shown_texts(view), (std::vector<std::string>{"c", "d", "e"}));
  view.clear();
  EXPECT_EQ(view.refresh(), LogView::Refresh::Rebuilt);

  flush_event_log();  // no kiv.log yet: drops c, d and e
  folder.write("kiv.log", "");
  std::atomic<int> running{4};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([w, &running] {
      for (int i = 0; i < 700; ++i) log_eventf("worker %d line %d", w, i), std::this_thread::sleep_for(std::chrono::microseconds(100));
      --running;
    });
  }
  std::regex line_text("worker [0-3] line [0-9]+");
  for (int round = 0; round < 1000000 && running > 0; ++round) {
    if (view.refresh() != LogView::Refresh::Rebuilt) continue;
    for (const std::string& text : shown_texts(view)) ASSERT_TRUE(std::regex_match(text, line_text)) << text;
  }
  for (std::thread& worker : workers) worker.join();
  flush_event_log();
  std::string file = folder.read_text("kiv.log");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 4 * 700);
}

} }  // namespace kiv
