// The status window of an agent started in this process as kiv-agent starts
// it: rows, lamps and title, menu, warning boxes, dialogs, and Close.

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "core/lifecycle.h"
#include "core/service_table.h"
#include "tests/config_line.h"
#include "tests/event_lines.h"
#include "tests/loopback.h"
#include "tests/temp_folder.h"
#include "ui/qt/log_dialog.h"
#include "ui/qt/qt_window_thread.h"
#include "ui/qt/statistics_dialog.h"
#include "ui/qt/status_window.h"

namespace kiv_test {
namespace {

int logged_count(const std::string& text) {
  std::vector<std::string> held = held_events();
  return std::count(held.begin(), held.end(), text);
}

QColor lamp_colour(kiv::StatusWindow& window, int row) {
  return window.grab().toImage().pixelColor(105, row * kiv::ROW_SPACING + 9);
}

/// Runs `work` on a thread of its own while this thread handles events, as
/// the agent's workers need of the window thread.
void run_beside_event_loop(const std::function<void()>& work) {
  std::future<void> done = std::async(std::launch::async, work);
  (void)QTest::qWaitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 120000);
}

std::string echo_on(int client, const std::string& text) {
  std::string echoed;
  run_beside_event_loop([&] { echoed = (send_bytes(client, text), receive(client, text.size())); });
  return echoed;
}

const QColor kYellow(255, 255, 0), kRed(255, 0, 0), kGreen(0, 255, 0), kBlue(0, 0, 255), kGrey(192, 192, 192);

/// Once a popup (menu, or with `modal` a dialog or box) is active, runs `act`
/// on it; every 20 ms for 10 s at most.
void when_popup(std::function<void(QWidget*)> act, bool modal = false, int tries = 500) {
  QTimer::singleShot(20, [=] {
    QWidget* popup = modal ? QApplication::activeModalWidget() : QApplication::activePopupWidget();
    if (popup != nullptr) act(popup);
    else if (tries > 0) when_popup(act, modal, tries - 1);
  });
}

/// Chooses the item `downs` steps down the menu (separators skipped) once it opens.
void choose_from_menu_when_open(int downs) {
  when_popup([downs](QWidget* menu) {
    for (int i = 0; i < downs; ++i) QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
  });
}

}  // namespace

class StatusWindowTest : public QObject {
  Q_OBJECT

 private slots:
  // The agent's threads outlive any window, so one agent lives the whole scenario.
  void one_agent_from_start_to_close();
};

void StatusWindowTest::one_agent_from_start_to_close() {
  LoopbackServer remote(echo_handler);
  uint16_t live = free_port(), bad = free_port();
  TempFolder folder;
  folder.write("kiv.cnf", config_line("LIVE", live, remote.port()) +
                              config_line("OFF", free_port(), remote.port(), "127.0.0.1", "NONE", 0) +
                              config_line("BAD", bad, free_port()));
  folder.write("kiv.log", "");
  QCOMPARE(chdir(folder.path().c_str()), 0);
  kiv::take_start_time();
  kiv::StatusWindow& window = kiv::create_status_window();
  QCOMPARE(window.size(), QSize(kiv::STATUS_WIDTH, 3 * 15 + kiv::STATUS_BOTTOM_MARGIN));
  QCOMPARE(window.windowTitle(), QString("KIV"));
  // Each lamp is a 10 x 10 square with a black outline, on its own row.
  QImage image = window.grab().toImage();
  const QColor at_start[] = {kYellow, kBlue, kYellow};
  for (int row = 0, top = 4; row < 3; ++row, top += 15) {
    QCOMPARE(image.pixelColor(105, top + 5), at_start[row]);
    QCOMPARE(image.pixelColor(100, top), QColor(Qt::black));
    QCOMPARE(image.pixelColor(109, top + 9), QColor(Qt::black));
    QCOMPARE(image.pixelColor(110, top + 5), kGrey);
    QCOMPARE(image.pixelColor(105, top + 10), kGrey);
  }

  close(connect_loopback(bad));
  QTRY_COMPARE_WITH_TIMEOUT(lamp_colour(window, 2), kRed, 20000);
  int client = connect_loopback(live);
  QCOMPARE(echo_on(client, "ping"), std::string("ping"));
  QTRY_COMPARE_WITH_TIMEOUT(lamp_colour(window, 0), kGreen, 20000);
  QCOMPARE(window.windowTitle(), QString("KIV-Connected"));
  QCOMPARE(lamp_colour(window, 2), kRed);
  close(client);
  QTRY_COMPARE_WITH_TIMEOUT(lamp_colour(window, 0), kYellow, 20000);
  QTRY_COMPARE_WITH_TIMEOUT(window.windowTitle(), QString("KIV"), 20000);

  QStringList items;
  for (QAction* action : window.context_menu()->actions())
    items << (action->isSeparator() ? QString("-") : action->text() + QString::number(action->data().toInt()));
  QCOMPARE(items, QStringList({"Configure...301", "Status...303", "Log...304", "Reset302", "-", "About KIV300", "-", "Close0"}));

  // About, chosen with the keyboard and closed: the hidden menu stays the
  // application's focus widget, and the Menu key must still open the menu.
  window.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&window));
  QString seen;
  choose_from_menu_when_open(5);  // About KIV
  when_popup([&seen](QWidget* dialog) { seen = dialog->windowTitle(), QTest::keyClick(dialog, Qt::Key_Escape); }, true);
  QTest::keyClick(window.windowHandle(), Qt::Key_Menu);
  QCOMPARE(seen, QString("About KIV Agent"));
  choose_from_menu_when_open(4);  // Reset
  QTest::keyClick(window.windowHandle(), Qt::Key_Menu);
  QCOMPARE(logged_count("Pending KIV reset..."), 1);
  QTRY_COMPARE_WITH_TIMEOUT(logged_count("Resetting KIV..."), 1, 20000);
  QTRY_COMPARE_WITH_TIMEOUT(lamp_colour(window, 2), kYellow, 20000);
  std::string echoed;
  run_beside_event_loop([&] { echoed = round_trip(live, "again"); });
  QCOMPARE(echoed, std::string("again"));

  // A worker's notification is handled while another worker's warning box
  // runs its own event loop.
  std::atomic<bool> box_seen{false}, status_done{false};
  when_popup([&](QWidget* box) {
    seen = box->windowTitle() + "|" + qobject_cast<QMessageBox*>(box)->text() + "|" +
           (box->parentWidget() == &window ? "owned" : "not owned");
    box_seen = true;
    bool handled = QTest::qWaitFor([&] { return status_done.load(); }, 20000);
    seen += "|" + (handled ? lamp_colour(window, 1).name() : "not handled");
    qobject_cast<QMessageBox*>(box)->accept();
  }, true);
  std::thread worker([&] {
    for (int i = 0; i < 500 && !box_seen; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kiv::service_table().rows[1].state = kiv::SVC_ERROR;
    kiv::send_notification(kiv::NOTIFY_STATUS_CHANGED);
    status_done = true;
  });
  run_beside_event_loop([] { kiv::show_warning("Something failed: 98"); });
  worker.join();
  QCOMPARE(seen, QString("KIV Error|Something failed: 98|owned|#ff0000"));

  // Configure, OK and Yes: the services restart with the settings.
  when_popup([&seen](QWidget* dialog) {
    seen = dialog->windowTitle();
    when_popup([&seen](QWidget* box) { seen += "|" + box->windowTitle(), QTest::keyClick(box, Qt::Key_Return); }, true);
    QTest::keyClick(dialog, Qt::Key_Return);
  }, true);
  window.on_system_command(kiv::CMD_CONFIGURE);
  QCOMPARE(seen, QString("KIV Configuration|Do You Want to Use New Settings?"));
  QCOMPARE(logged_count("KIV reconfigured..."), 1);
  QTRY_COMPARE_WITH_TIMEOUT(logged_count("Resetting KIV..."), 2, 20000);
  QCOMPARE(lamp_colour(window, 1), kBlue);

  {
    kiv::StatisticsDialog statistics(&window);
    statistics.show();
    auto field = [&statistics](int id) { return statistics.findChild<QLineEdit*>(QString::number(id))->text(); };
    QVERIFY2(field(1023).startsWith("0 Days 0 Hours "), qPrintable(field(1023)));
    QCOMPARE(QStringList({field(1000), field(1005), field(1010), field(1015), field(1002), field(1007), field(1003)}),
             QStringList({"LIVE", "2", "0/0", "0/0/0", "BAD", "1", ""}));
    ++kiv::service_table().rows[1].connections;
    QTRY_COMPARE_WITH_TIMEOUT(field(1006), QString("1"), 20000);
  }
  {
    for (int i = 0; i < 200; ++i) kiv::log_event("a line");
    kiv::LogDialog log(&window);
    log.show();
    QScrollBar* bar = log.findChild<QPlainTextEdit*>("1000")->verticalScrollBar();
    bar->setValue(50);
    kiv::log_event("one more");
    log.refresh();
    QCOMPARE(bar->value(), 50);
    bar->setValue(bar->maximum());
    int end = bar->maximum();
    for (int i = 0; i < 10; ++i) kiv::log_event("and more");
    log.refresh();
    QCOMPARE(bar->maximum(), end + 10);
    QCOMPARE(bar->value(), bar->maximum());
  }

  // Close, the sixth item the keyboard reaches, ends the loop with 0 while a client is connected.
  client = connect_loopback(live);
  QCOMPARE(echo_on(client, "held"), std::string("held"));
  QTimer::singleShot(0, [&window] {
    choose_from_menu_when_open(6);
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10), window.mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(&window, &click);
  });
  QCOMPARE(kiv::qt_window_thread().run_event_loop(), 0);
  QVERIFY(window.isHidden());
  std::string log = folder.read("kiv.log");
  QVERIFY(log.find(":  *** KIV Started ***\n") != std::string::npos && log.find(": LIVE Connected\n") != std::string::npos);
  close(client);
}

}  // namespace kiv_test

// Ends the process with the result, leaving the agent's threads alone as
// kiv-agent does.
int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  kiv_test::StatusWindowTest test;
  int result = QTest::qExec(&test, argc, argv);
  fflush(nullptr);
  std::_Exit(result);
}
#include "status_window_test.moc"
