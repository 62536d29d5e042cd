#pragma once
// The whole agent inside the test process, so a test can read its counters
// and its process-wide state while real clients use it on loopback.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/temp_folder.h"

namespace kiv_test {

/// InProcessAgent makes `folder` the working directory and runs the agent's
/// start-up and event loop on a thread of its own, which plays the window
/// thread. One per process (the agent's state is process-wide).
class InProcessAgent {
 public:
  explicit InProcessAgent(const TempFolder& folder);
  /// Shuts the agent down (flushing its log) and waits for its event loop.
  ~InProcessAgent();

  /// Has `command` run on the window thread and returns at once.
  void post(void (*command)());
  /// Waits until `text` has been logged at least `count` times in all.
  bool wait_for_event(const std::string& text, int count = 1, int deadline_ms = 30000);
  int event_count(const std::string& text);
  std::vector<std::string> events();

 private:
  std::thread window_thread_;
};

/// Waits until `condition` holds, looking every 20 ms; false after `deadline_ms`.
template <typename Condition>
bool eventually(Condition condition, int deadline_ms = 30000) {
  for (int waited = 0; waited < deadline_ms; waited += 20) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

}  // namespace kiv_test
