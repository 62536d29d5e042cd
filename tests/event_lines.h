#pragma once
// The lines an agent writes, as a test sees them: its log lines (timestamp,
// ": ", text) and its warnings, kept as they arrive and waited for with a
// deadline.

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/window_thread.h"

namespace kiv_test {

/// The text of a log line after its timestamp, or "" for any other line.
std::string event_text(const std::string& line);

/// EventLines collects the lines of one agent; any thread may add to it.
class EventLines {
 public:
  void add(const std::string& line);
  /// Waits until at least `count` log lines read exactly `text`.
  bool wait_for_event(const std::string& text, int count = 1, int deadline_ms = 20000);
  /// The texts of the log lines so far, oldest first.
  std::vector<std::string> events();
  int event_count(const std::string& text);
  /// Every line so far, log lines with their timestamps.
  std::vector<std::string> lines();

 private:
  std::mutex guard_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;  // guarded by guard_
};

/// KeptWarnings stands in for the window thread where no window runs: it
/// keeps the warnings shown and handles no notification.
class KeptWarnings : public kiv::WindowThread {
 public:
  void deliver(kiv::Notification) override {}
  void show_warning(const char* text) override;
  /// The warnings shown since the last call, oldest first.
  std::vector<std::string> take();

 private:
  std::mutex guard_;
  std::vector<std::string> shown_;  // guarded by guard_
};

/// The texts of the lines that this process's event log holds now.
inline std::vector<std::string> held_events() {
  std::vector<std::string> texts;
  kiv::read_event_log([&texts](const kiv::EventLog& log) {
    for (int i = 0; i < log.line_count; ++i) texts.push_back(event_text(log.lines[i].get()));
  });
  return texts;
}

/// How many of the lines that this process's event log holds now read `text`.
inline int held_event_count(const std::string& text) {
  std::vector<std::string> texts = held_events();
  return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

}  // namespace kiv_test
