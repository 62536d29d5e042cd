#include "core/window_thread.h"

#include <atomic>
#include <cstdio>

#include "core/lifecycle.h"
#include "core/no_destructor.h"

namespace kiv {

namespace {

/// Stands in for the window before one exists.
class NoWindow : public WindowThread {
 public:
  void deliver(Notification) override {}
  void show_warning(const char* text) override { fprintf(stderr, "KIV Error: %s\n", text); }
};

std::atomic<WindowThread*> installed{nullptr};

}  // namespace

void install_window_thread(WindowThread* window) { installed.store(window); }

WindowThread& window_thread() {
  if (WindowThread* window = installed.load()) return *window;
  static NoDestructor<NoWindow> no_window;
  return *no_window;
}

void send_notification(Notification code) { window_thread().deliver(code); }

void handle_notification(Notification code) {
  switch (code) {
    case NOTIFY_STATUS_CHANGED:
      window_thread().repaint_lamps();
      break;
    case NOTIFY_THREAD_CLOSED:
      on_thread_closed();
      break;
  }
}

}  // namespace kiv
