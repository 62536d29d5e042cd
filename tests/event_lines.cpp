#include "tests/event_lines.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "core/timestamp.h"

namespace kiv_test {

std::string event_text(const std::string& line) {
  // "Mon Jan 02 03:04:05 1995: text"
  constexpr size_t stamp = kiv::TIMESTAMP_LENGTH;
  bool stamped = line.size() >= stamp + 2 && line[3] == ' ' && line[7] == ' ' &&
                 line[13] == ':' && line[16] == ':' && line.compare(stamp, 2, ": ") == 0;
  return stamped ? line.substr(stamp + 2) : std::string();
}

void EventLines::add(const std::string& line) {
  std::lock_guard<std::mutex> lock(guard_);
  lines_.push_back(line);
  changed_.notify_all();
}

bool EventLines::wait_for_event(const std::string& text, int count, int deadline_ms) {
  std::unique_lock<std::mutex> lock(guard_);
  auto is_it = [&text](const std::string& line) { return event_text(line) == text; };
  bool seen = changed_.wait_for(lock, std::chrono::milliseconds(deadline_ms), [&] {
    return std::count_if(lines_.begin(), lines_.end(), is_it) >= count;
  });
  // What the agent said instead is what explains the failure.
  if (!seen) {
    fprintf(stderr, "Waited in vain for %d x \"%s\"; the agent said:\n", count, text.c_str());
    for (const std::string& line : lines_) fprintf(stderr, "  %s\n", line.c_str());
  }
  return seen;
}

std::vector<std::string> EventLines::events() {
  std::lock_guard<std::mutex> lock(guard_);
  std::vector<std::string> texts;
  for (const std::string& line : lines_) {
    if (!event_text(line).empty()) texts.push_back(event_text(line));
  }
  return texts;
}

std::vector<std::string> EventLines::lines() {
  std::lock_guard<std::mutex> lock(guard_);
  return lines_;
}

int EventLines::event_count(const std::string& text) {
  std::vector<std::string> texts = events();
  return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

void KeptWarnings::show_warning(const char* text) {
  std::lock_guard<std::mutex> lock(guard_);
  shown_.push_back(text);
}

std::vector<std::string> KeptWarnings::take() {
  std::lock_guard<std::mutex> lock(guard_);
  return std::move(shown_);
}

}  // namespace kiv_test
