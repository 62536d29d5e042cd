// The Qt window thread's delivery of notifications: senders never wait for the GUI thread.
#include "ui/qt/qt_window_thread.h"

#include <QtTest>
#include <QtWidgets>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

#include "agent/lifecycle.h"
#include "core/engine_counters.h"
#include "core/service_table.h"
#include "tests/event_lines.h"
#include "ui/qt/status_window.h"

namespace kiv_test {
namespace {

/// Counts the paints of the widget it watches.
class PaintCounter : public QObject {
 public:
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

/// Runs `send` on a worker while the GUI thread handles no event; whether it
/// returned within 20 s. What it sent waits for the GUI thread's next events.
bool sent_while_gui_thread_is_blocked(const std::function<void()>& send) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> sent = done->get_future();
  // Detached: a sender that never returns must not hold the test up.
  std::thread([send, done] { send(), done->set_value(); }).detach();
  return sent.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

}  // namespace

class QtWindowThreadTest : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void status_changes_sent_together_make_one_repaint();
  void thread_closed_is_handled_on_the_gui_thread_once_it_is_free();
  void a_warning_from_another_thread_comes_up_without_its_sender_waiting();

 private:
  kiv::StatusWindow* window_ = nullptr;
  PaintCounter counter_;
};

void QtWindowThreadTest::initTestCase() {
  kiv::service_table().service_count = 0;  // a restart starts nothing
  window_ = new kiv::StatusWindow;  // never deleted: the window thread keeps it
  kiv::qt_window_thread().attach(window_);
  kiv::install_window_thread(&kiv::qt_window_thread());
  kiv::handle_thread_closed_with(kiv::on_thread_closed);
  window_->show();
  QVERIFY(QTest::qWaitForWindowExposed(window_));
  window_->installEventFilter(&counter_);
}

void QtWindowThreadTest::status_changes_sent_together_make_one_repaint() {
  QCoreApplication::processEvents();  // the window's own paints after showing are done
  counter_.paints = 0;
  QVERIFY2(sent_while_gui_thread_is_blocked([] {
             for (int i = 0; i < 100; ++i) kiv::send_notification(kiv::NOTIFY_STATUS_CHANGED);
           }),
           "a sender waited for the GUI thread");
  QCoreApplication::processEvents();
  QCOMPARE(counter_.paints, 1);
}

void QtWindowThreadTest::thread_closed_is_handled_on_the_gui_thread_once_it_is_free() {
  int restarts = held_event_count("Resetting KIV...");
  kiv::running_count = 0;
  kiv::reset_pending = true;
  QVERIFY2(sent_while_gui_thread_is_blocked([] {
             kiv::send_notification(kiv::NOTIFY_THREAD_CLOSED);
           }),
           "a sender waited for the GUI thread");
  QVERIFY2(kiv::reset_pending, "handled before the GUI thread got to it");
  QTRY_COMPARE_WITH_TIMEOUT(held_event_count("Resetting KIV..."), restarts + 1, 20000);
  QVERIFY2(!kiv::reset_pending, "the restart left the reset pending");
}

void QtWindowThreadTest::a_warning_from_another_thread_comes_up_without_its_sender_waiting() {
  QVERIFY2(sent_while_gui_thread_is_blocked([] { kiv::show_warning("Can't open log_file..."); }),
           "a warning's sender waited for the operator");
  // The operator: closes the warning once it is up.
  QString shown;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&shown] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->text();
      box->accept();
    }
  });
  closer.start(50);
  QTRY_COMPARE_WITH_TIMEOUT(shown, QString("Can't open log_file..."), 20000);
}

}  // namespace kiv_test

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  kiv_test::QtWindowThreadTest test;
  int result = QTest::qExec(&test, argc, argv);
  // Workers of a failed run may still wait on the window thread: nothing is torn down.
  std::_Exit(fflush(nullptr) == 0 ? result : 1);
}
#include "qt_window_thread_test.moc"
