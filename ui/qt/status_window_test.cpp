// The status window of an agent started in this process as kiv-agent starts it, from start to Close:
// one agent for the whole scenario, as the agent's threads outlive any window.
#include <QtTest>
#include <QtWidgets>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "agent/lifecycle.h"
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

QString pixel(kiv::StatusWindow& window, int x, int y) { return window.grab().toImage().pixelColor(x, y).name(); }
QString lamp(kiv::StatusWindow& window, int row) { return pixel(window, 105, row * kiv::ROW_SPACING + 9); }

/// Runs `work` on a thread of its own while this thread handles events, as the agent's workers need.
std::string beside_event_loop(const std::function<std::string()>& work) {
  std::future<std::string> done = std::async(std::launch::async, work);
  (void)QTest::qWaitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 120000);
  return done.get();
}

/// Once a popup (menu, or with `modal` a dialog or box) is active, runs `act` on it; 10 s at most.
void when_popup(std::function<void(QWidget*)> act, bool modal = false, int tries = 500) {
  QTimer::singleShot(20, [=] {
    QWidget* popup = modal ? QApplication::activeModalWidget() : QApplication::activePopupWidget();
    popup != nullptr ? act(popup) : tries > 0 ? when_popup(act, modal, tries - 1) : void();
  });
}

void choose_from_menu(int downs) {
  when_popup([downs](QWidget* menu) { for (int i = 0; i <= downs; ++i) QTest::keyClick(menu, i < downs ? Qt::Key_Down : Qt::Key_Return); });
}

QLineEdit* edit(QWidget* dialog, int id) { return dialog->findChild<QLineEdit*>(QString::number(id)); }
QString described(QWidget* box) {
  return box->windowTitle() + "|" + qobject_cast<QMessageBox*>(box)->text() + (dynamic_cast<kiv::StatusWindow*>(box->parentWidget()) ? "" : "|not owned");
}

}  // namespace

class StatusWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void one_agent_from_start_to_close();
};

void StatusWindowTest::one_agent_from_start_to_close() {
  LoopbackServer remote(echo_handler);
  uint16_t live = free_port(), added = free_port();
  TempFolder folder;
  const std::string config = config_line("LIVE", live, remote.port()) +
                             config_line("OFF", free_port(), remote.port(), "127.0.0.1", "NONE", 0) +
                             config_line("BAD", free_port(), free_port());
  folder.write("kiv.cnf", config);
  QCOMPARE(chdir(folder.path().c_str()), 0);
  kiv::take_start_time();
  kiv::StatusWindow& window = kiv::create_status_window();
  // Each lamp is a 10 x 10 square with a black outline, on its own row, on grey.
  QCOMPARE(pixel(window, 100, 4) + pixel(window, 109, 13) + pixel(window, 110, 9) + pixel(window, 105, 14) + lamp(window, 0) +
               lamp(window, 1) + lamp(window, 2), QString("#000000#000000#c0c0c0#c0c0c0#ffff00#0000ff#ffff00"));
  int client = connect_loopback(live);
  QTRY_COMPARE_WITH_TIMEOUT(lamp(window, 0) + window.windowTitle(), QString("#00ff00KIV-Connected"), 20000);
  close(client);
  QTRY_COMPARE_WITH_TIMEOUT(lamp(window, 0) + window.windowTitle(), QString("#ffff00KIV"), 20000);

  // About, chosen and closed with the keyboard: the hidden menu keeps the focus, and the Menu key must still work.
  QStringList seen;
  choose_from_menu(5);  // About KIV
  when_popup([&](QWidget* dialog) { seen << dialog->windowTitle(), QTest::keyClick(dialog, Qt::Key_Escape); }, true);
  QTest::keyClick(window.windowHandle(), Qt::Key_Menu);
  choose_from_menu(4);  // Reset
  QTest::keyClick(window.windowHandle(), Qt::Key_Menu);
  QCOMPARE(logged_count("Pending KIV reset..."), 1);
  QTRY_COMPARE_WITH_TIMEOUT(logged_count("Resetting KIV..."), 1, 20000);

  // A worker's notification is handled while another worker's warning box runs its own event loop.
  when_popup([&](QWidget* box) {
    static std::atomic<bool> handled{false};  // a worker that never returns may outlive the test
    kiv::service_table().rows[1].state = kiv::SVC_ERROR;
    std::thread([] { kiv::send_notification(kiv::NOTIFY_STATUS_CHANGED), handled = true; }).detach();
    (void)QTest::qWaitFor([] { return handled.load(); }, 20000);
    seen << described(box) << lamp(window, 1), QTest::keyClick(box, Qt::Key_Return);
  }, true);
  beside_event_loop([] { return kiv::show_warning("Something failed: 98"), std::string(); });

  // Cancel in the Configuration dialog takes nothing and asks nothing.
  when_popup([](QWidget* dialog) { QTest::mouseClick(dialog->findChild<QPushButton*>("2"), Qt::LeftButton); }, true);
  window.on_system_command(kiv::CMD_CONFIGURE);

  // The grid shows kiv.cnf; Enter is OK: kiv.cnf, now a folder, can't be written, and Yes restarts with the row typed.
  QCOMPARE(unlink("kiv.cnf") + mkdir("kiv.cnf", 0755), 0);
  when_popup([&](QWidget* dialog) {
    QString shown;
    for (int row = 0; row < 3; ++row) {
      for (int id : {1000, 1005, 1029, 1010, 1023}) shown += edit(dialog, id + row)->text() + ' ';
      shown += dialog->findChild<QCheckBox*>(QString::number(1015 + row))->isChecked() ? "1\n" : "0\n";
    }
    seen << shown;
    QTest::keyClick(dialog->findChild<QCheckBox*>("1018"), Qt::Key_Space);  // row 3, typed:
    const QStringList typed = {"ADDED", QString::number(added), QString::number(remote.port()), "127.0.0.1", "NONE"};
    for (int f = 0; f < 5; ++f) QTest::keyClicks(edit(dialog, QList{1003, 1008, 1032, 1013, 1026}[f]), typed[f]);
    when_popup([&](QWidget* box) {
      when_popup([&](QWidget* yes_no) { seen << described(yes_no), QTest::keyClick(yes_no, Qt::Key_Return); }, true);
      seen << described(box), QTest::keyClick(box, Qt::Key_Return);
    }, true);
    QTest::keyClick(edit(dialog, 1010), Qt::Key_Return);
  }, true);
  window.on_system_command(kiv::CMD_CONFIGURE);
  QCOMPARE(seen, QStringList({"About KIV Agent", "KIV Error|Something failed: 98", "#ff0000", QString::fromStdString(config), "KIV Error|Cannot open kiv.cnf",
                              "Do You Want to Use New Settings?|You Changed KIV Settings,\nDo You Want to Use\n"
                              "New Settings Now(Yes) or Later(No)?"}));
  QTRY_COMPARE_WITH_TIMEOUT(logged_count("Resetting KIV..."), 2, 20000);
  QCOMPARE(window.size(), QSize(kiv::STATUS_WIDTH, 4 * 15 + kiv::STATUS_BOTTOM_MARGIN));
  QCOMPARE(lamp(window, 1), QString("#0000ff"));
  QCOMPARE(beside_event_loop([&] { return round_trip(added, "added"); }), std::string("added"));

  kiv::StatisticsDialog statistics(&window);
  QString shown;
  for (int id : {1000, 1005, 1010, 1015, 1002, 1007, 1004}) shown += edit(&statistics, id)->text() + '|';
  QCOMPARE(shown + edit(&statistics, 1023)->text().left(15), QString("LIVE|1|0/0|0/0/0|BAD|0||0 Days 0 Hours "));
  ++kiv::service_table().rows[1].connections;
  QTRY_COMPARE_WITH_TIMEOUT(edit(&statistics, 1006)->text(), QString("1"), 20000);

  // The Log dialog keeps the place read, and a view at the end follows the end.
  kiv::LogDialog log(&window);
  QScrollBar* bar = log.findChild<QPlainTextEdit*>("1000")->verticalScrollBar();
  bar->setValue(5), kiv::log_event("one more"), log.refresh();
  QCOMPARE(bar->value(), 5);
  bar->setValue(bar->maximum()), kiv::log_event("and more"), log.refresh();
  QCOMPARE(bar->value(), bar->maximum());

  // Close, the sixth item the keyboard reaches, ends the loop with 0.
  QTimer::singleShot(0, [&window] {
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10), window.mapToGlobal(QPoint(10, 10)));
    choose_from_menu(6), QApplication::sendEvent(&window, &click);
  });
  QCOMPARE(kiv::qt_window_thread().run_event_loop(), 0);
}

}  // namespace kiv_test

// Ends the process with the result, leaving the agent's threads alone as kiv-agent does.
int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  kiv_test::StatusWindowTest test;
  int result = QTest::qExec(&test, argc, argv);
  std::_Exit(fflush(nullptr) == 0 ? result : 1);
}
#include "status_window_test.moc"
