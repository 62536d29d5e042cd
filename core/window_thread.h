#pragma once
// The thread that owns the status window, as the agent's logic sees it: it
// handles the workers' notifications one at a time when it gets to them,
// shows warnings, and keeps the window's rows, lamps and menu. The front ends
// and the headless agent each implement it; the logic never knows which runs.

namespace kiv {

/// Notifications that worker threads send to the window thread.
enum Notification : int {
  NOTIFY_STATUS_CHANGED = 101,  // a service row's state changed
  NOTIFY_THREAD_CLOSED = 103,   // a listener or control-port thread is ending
};

class WindowThread {
 public:
  virtual ~WindowThread() = default;

  /// Has handle_notification(code) run on the window thread and returns at
  /// once, from any thread: a slow or frozen display never holds up a
  /// sender. Every NOTIFY_THREAD_CLOSED is handled, in the order sent; its
  /// handling reads the counts when it runs, which include the sender's own
  /// end because a thread lowers its count before it sends. Status changes
  /// sent while one is waiting are handled with it, once: the repaint draws
  /// the table as it is when it runs.
  virtual void deliver(Notification code) = 0;
  /// Shows a "KIV Error" warning. On the window thread it returns once the
  /// operator has seen it; any other thread (the event loop, a worker) goes
  /// on at once, since every relay would wait with it.
  virtual void show_warning(const char* text) = 0;

  // The window's own work. Without a window there is nothing to draw, so
  // each does nothing unless a front end with a window overrides it.
  virtual void prepare_lamps() {}
  virtual void release_lamps() {}
  /// Fits the window to the configured rows (service_count of them).
  virtual void resize_status_window() {}
  virtual void add_menu_items() {}
  /// Redraws the lamps in place (the handling of NOTIFY_STATUS_CHANGED).
  virtual void repaint_lamps() {}
  /// Redraws the whole window, background included.
  virtual void redraw_status_window() {}
  /// Ends the window thread's event loop; the program exits with `exit_code`.
  virtual void end_event_loop(int /*exit_code*/) {}
};

/// Makes `window` the receiver of everything above; it must outlive every
/// worker thread (it is never uninstalled). Until one is installed, warnings
/// go to standard error and notifications are acknowledged unhandled.
void install_window_thread(WindowThread* window);
WindowThread& window_thread();

/// Has `handler` run on the window thread for each NOTIFY_THREAD_CLOSED: the
/// agent's life above this layer decides what a service's end means.
void handle_thread_closed_with(void (*handler)());

/// Sends `code` to the window thread without waiting for it (see deliver).
void send_notification(Notification code);
/// The window thread's handling of a notification.
void handle_notification(Notification code);

}  // namespace kiv
