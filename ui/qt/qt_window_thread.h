#pragma once
// The window thread of kiv-agent: Qt's GUI thread.

#include <QObject>

#include <atomic>

#include "core/window_thread.h"

namespace kiv {

class StatusWindow;

/// QtWindowThread carries the agent's notifications to the GUI thread as
/// queued calls, which whichever event loop the GUI thread runs handles (the
/// main one, a dialog's or a message box's), and never waits for them; its
/// warnings wait there for the operator. It keeps the status window's rows
/// in step with the table. Made on the GUI thread and never destroyed, so
/// workers can still send to it while the process ends.
class QtWindowThread : public QObject, public WindowThread {
 public:
  /// The window that owns the warnings and receives sizes, menu and repaints.
  void attach(StatusWindow* window);
  /// Runs the GUI thread's event loop until end_event_loop; returns its code.
  int run_event_loop();
  /// The window system has gone: warnings go to standard error from now on.
  void lose_display() { display_lost_ = true; }

  void deliver(Notification code) override;
  void show_warning(const char* text) override;
  void resize_status_window() override;
  void add_menu_items() override;
  void repaint_lamps() override;
  void redraw_status_window() override;
  void end_event_loop(int exit_code) override;

 private:
  StatusWindow* window_ = nullptr;  // GUI thread only
  bool ended_ = false;              // GUI thread only
  int exit_code_ = 0;               // GUI thread only
  /// A status change is queued and not handled yet: later ones add nothing.
  std::atomic<bool> repaint_queued_{false};
  std::atomic<bool> display_lost_{false};
};

/// The process's window thread; first used on the GUI thread, after QApplication exists.
QtWindowThread& qt_window_thread();

}  // namespace kiv
