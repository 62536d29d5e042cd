// The window thread on Qt: a worker's notification is handled while another
// worker's warning box runs its own event loop.

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

#include "core/event_log.h"
#include "core/service_table.h"
#include "core/window_thread.h"
#include "tests/window_agent.h"

namespace kiv_test {

class QtWindowThreadTest : public QObject {
  Q_OBJECT

 private slots:
  void warning_and_status_change_both_complete_while_a_box_is_open();
};

void QtWindowThreadTest::warning_and_status_change_both_complete_while_a_box_is_open() {
  WindowAgent agent("OFF 1 1 127.0.0.1 NONE 0\n");
  QCOMPARE(lamp_colour(agent.window(), 0), QColor(0, 0, 255));

  std::atomic<bool> box_seen{false}, warning_done{false}, status_done{false};
  QString box_title, box_text;
  QObject* box_owner = nullptr;
  QColor lamp_while_box_open;
  bool status_done_while_box_open = false;

  // Looks at the box from inside its own event loop, then answers it once the
  // other worker's notification has been handled.
  QTimer watcher;
  int ticks = 0;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    if (!box_seen) {
      box_title = box->windowTitle();
      box_text = box->text();
      box_owner = box->parent();
      box_seen = true;
    }
    if (!status_done && ++ticks < 500) return;
    status_done_while_box_open = status_done;
    lamp_while_box_open = lamp_colour(agent.window(), 0);
    box->accept();
  });
  watcher.start(20);

  std::thread warner([&] {
    kiv::show_warning("Something failed: 98");
    warning_done = true;
  });
  std::thread worker([&] {
    for (int i = 0; i < 500 && !box_seen; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kiv::service_table().rows[0].state = kiv::SVC_ERROR;
    kiv::send_notification(kiv::NOTIFY_STATUS_CHANGED);
    status_done = true;
  });
  QTRY_VERIFY_WITH_TIMEOUT(warning_done && status_done, 20000);
  warner.join();
  worker.join();

  QCOMPARE(box_title, QString("KIV Error"));
  QCOMPARE(box_text, QString("Something failed: 98"));
  QCOMPARE(box_owner, static_cast<QObject*>(&agent.window()));
  QVERIFY(status_done_while_box_open);
  QCOMPARE(lamp_while_box_open, QColor(255, 0, 0));
}

}  // namespace kiv_test

KIV_WINDOW_TEST_MAIN(kiv_test::QtWindowThreadTest)
#include "qt_window_thread_test.moc"
