#pragma once
// The window thread of the agent without a window (kiv-agentd).

#include <deque>

#include "core/window_thread.h"
#include "platform/mutex.h"

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
  void queue(Event event) EXCLUDES(guard_);

  Mutex guard_;
  CondVar changed_{guard_};
  std::deque<Event> events_ GUARDED_BY(guard_);
  bool ended_ GUARDED_BY(guard_) = false;
  int exit_code_ GUARDED_BY(guard_) = 0;
};

}  // namespace kiv
