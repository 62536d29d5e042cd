#include "ui/qt/qt_window_thread.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "platform/no_destructor.h"
#include "ui/qt/status_window.h"

namespace kiv {

template <typename Work>
void QtWindowThread::run_on_gui_thread(Work work) {
  if (QThread::currentThread() == thread()) {
    work();
    return;
  }
  // Queued calls are handled in the order posted, by whichever event loop the
  // GUI thread runs: the main one, a dialog's or a message box's. If the
  // process ends first, the caller ends with it.
  QMetaObject::invokeMethod(this, std::move(work), Qt::BlockingQueuedConnection);
}

void QtWindowThread::attach(StatusWindow* window) { window_ = window; }

int QtWindowThread::run_event_loop() {
  // The agent may have been shut down before the loop started (a stop
  // request answered while a start-up warning was showing).
  if (ended_) return exit_code_;
  return QApplication::exec();
}

void QtWindowThread::deliver(Notification code) {
  run_on_gui_thread([code] { handle_notification(code); });
}

void QtWindowThread::show_warning(const char* text) {
  QString message = QString::fromLocal8Bit(text);
  run_on_gui_thread([this, message] {
    // Warnings of the start-up, while the window is being made, have no owner.
    QWidget* owner = window_ != nullptr && window_->isVisible() ? window_ : nullptr;
    QMessageBox::warning(owner, "KIV Error", message);
  });
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
