#include "core/headless_window.h"

#include <string>

#include "platform/files.h"

namespace kiv {

int HeadlessWindow::run_event_loop() {
  MutexLock lock(guard_);
  for (;;) {
    while (!ended_ && events_.empty()) changed_.wait();
    if (ended_) return exit_code_;
    Event event = events_.front();
    events_.pop_front();
    lock.unlock();
    if (event.command != nullptr) {
      event.command();
    } else {
      handle_notification(event.code);
    }
    lock.lock();
  }
}

void HeadlessWindow::queue(Event event) {
  MutexLock lock(guard_);
  // Once the loop has ended nobody handles it; the process is on its way out.
  if (ended_) return;
  events_.push_back(event);
  changed_.signal_all();
}

void HeadlessWindow::post(void (*command)()) { queue(Event{NOTIFY_STATUS_CHANGED, command}); }

void HeadlessWindow::deliver(Notification code) {
  // Without a window a status change has nothing to redraw: it is
  // acknowledged at once instead of waking the window thread for nothing,
  // which would put a thread hand-over on every relay's way.
  if (code == NOTIFY_STATUS_CHANGED) return;
  queue(Event{code, nullptr});
}

void HeadlessWindow::show_warning(const char* text) {
  // Like the echo of the log, a warning never waits for a reader of standard error.
  write_standard_error_line(("KIV Error: " + std::string(text)).c_str());
}

void HeadlessWindow::end_event_loop(int exit_code) {
  MutexLock lock(guard_);
  ended_ = true;
  exit_code_ = exit_code;
  changed_.signal_all();
}

}  // namespace kiv
