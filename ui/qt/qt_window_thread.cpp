#include "ui/qt/qt_window_thread.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include <string>

#include "platform/files.h"
#include "platform/no_destructor.h"
#include "ui/qt/status_window.h"

namespace kiv {

void QtWindowThread::attach(StatusWindow* window) { window_ = window; }

int QtWindowThread::run_event_loop() {
  // The agent may have been shut down before the loop started (a stop
  // request answered while a start-up warning was showing).
  if (ended_) return exit_code_;
  return QApplication::exec();
}

void QtWindowThread::deliver(Notification code) {
  // One repaint draws every change made before it runs.
  if (code == NOTIFY_STATUS_CHANGED && repaint_queued_.exchange(true)) return;
  // Queued calls run in the order posted; posting never waits for the GUI thread.
  QMetaObject::invokeMethod(
      this,
      [this, code] {
        // Cleared first: a change made while the repaint runs needs one more.
        if (code == NOTIFY_STATUS_CHANGED) repaint_queued_ = false;
        handle_notification(code);
      },
      Qt::QueuedConnection);
}

void QtWindowThread::show_warning(const char* text) {
  if (display_lost_) {
    write_standard_error_line(("KIV Error: " + std::string(text)).c_str());
    return;
  }
  QString message = QString::fromLocal8Bit(text);
  auto show = [this, message] {
    // Warnings of the start-up, while the window is being made, have no owner.
    QWidget* owner = window_ != nullptr && window_->isVisible() ? window_ : nullptr;
    QMessageBox::warning(owner, "KIV Error", message);
  };
  if (QThread::currentThread() == thread()) {
    show();
    return;
  }
  // Another thread (the event loop, a worker) never waits for the operator:
  // every relay would wait with it. The box comes up when the GUI thread
  // gets to it.
  QMetaObject::invokeMethod(this, show, Qt::QueuedConnection);
}

void QtWindowThread::resize_status_window() {
  if (window_ != nullptr) window_->fit_to_rows();
}

void QtWindowThread::add_menu_items() {
  if (window_ != nullptr) window_->add_menu_items();
}

void QtWindowThread::repaint_lamps() {
  // Qt paints through a back buffer, so a full repaint changes the lamps in
  // place without the window ever showing erased.
  if (window_ != nullptr) window_->repaint();
}

void QtWindowThread::redraw_status_window() {
  if (window_ != nullptr) window_->repaint();
}

void QtWindowThread::end_event_loop(int exit_code) {
  ended_ = true;
  exit_code_ = exit_code;
  QCoreApplication::exit(exit_code);
}

QtWindowThread& qt_window_thread() {
  static NoDestructor<QtWindowThread> window_thread;
  return *window_thread;
}

}  // namespace kiv
