#include "core/window_thread.h"

#include <atomic>
#include <cstdio>

#include "platform/no_destructor.h"

namespace kiv {

namespace {

/// Stands in for the window before one exists.
class NoWindow : public WindowThread {
 public:
  void deliver(Notification) override {}
  void show_warning(const char* text) override { fprintf(stderr, "KIV Error: %s\n", text); }
};

std::atomic<WindowThread*> installed{nullptr};
std::atomic<void (*)()> thread_closed_handler{nullptr};

}  // namespace

void install_window_thread(WindowThread* window) { installed.store(window); }

WindowThread& window_thread() {
  if (WindowThread* window = installed.load()) return *window;
  static NoDestructor<NoWindow> no_window;
  return *no_window;
}

void handle_thread_closed_with(void (*handler)()) { thread_closed_handler.store(handler); }

void send_notification(Notification code) { window_thread().deliver(code); }

void handle_notification(Notification code) {
  switch (code) {
    case NOTIFY_STATUS_CHANGED:
      window_thread().repaint_lamps();
      break;
    case NOTIFY_THREAD_CLOSED:
      if (void (*handler)() = thread_closed_handler.load()) handler();
      break;
  }
}

}  // namespace kiv
