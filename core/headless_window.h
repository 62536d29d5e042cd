#pragma once
// The window thread of the agent without a window (kiv-agentd).

#include <condition_variable>
#include <deque>
#include <mutex>

#include "core/window_thread.h"

namespace kiv {

/// HeadlessWindow runs the window thread's event loop on the thread that
/// runs run_event_loop: workers' thread-closed notifications are queued and
/// handled there one at a time, in the order sent, and no sender waits (a
/// status change, with no window to redraw, is acknowledged at once);
/// commands posted by other threads (operator signals) run there too, in
/// the same queue. Warnings go to standard error.
class HeadlessWindow : public WindowThread {
 public:
  /// Handles notifications and commands until end_event_loop; returns its code.
  int run_event_loop();
  /// Queues `command` to run on the window thread and returns at once.
  void post(void (*command)());

  void deliver(Notification code) override;
  void show_warning(const char* text) override;
  void end_event_loop(int exit_code) override;

 private:
  struct Event {
    Notification code;
    void (*command)();  // set for a posted command instead of a notification
  };

  /// Queues `event` for the loop and returns at once.
  void queue(Event event);

  std::mutex guard_;
  std::condition_variable changed_;
  std::deque<Event> events_;  // guarded by guard_
  bool ended_ = false;        // guarded by guard_
  int exit_code_ = 0;         // guarded by guard_
};

}  // namespace kiv
