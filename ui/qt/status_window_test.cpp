// The status window: its rows, lamps and title as the services change, its
// menu, its warning boxes and the Statistics and Log dialogs it opens.

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "core/event_log.h"
#include "core/lifecycle.h"
#include "core/window_thread.h"
#include "ui/qt/log_dialog.h"
#include "ui/qt/statistics_dialog.h"
#include "ui/qt/qt_window_thread.h"
#include "tests/config_line.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"
#include "ui/qt/status_window.h"

namespace kiv_test {

namespace {

/// The agent started in this process as kiv-agent starts it, with its window,
/// in a temporary working folder. One per process: its threads outlive it.
class WindowAgent {
 public:
  explicit WindowAgent(const std::string& configuration, bool with_log_file = false) {
    folder_.write("kiv.cnf", configuration);
    if (with_log_file) folder_.write("kiv.log", "");
    if (chdir(folder_.path().c_str()) != 0) qFatal("cannot enter the test folder");
    kiv::take_start_time();
    window_ = &kiv::create_status_window();
  }
  kiv::StatusWindow& window() { return *window_; }
  const TempFolder& folder() const { return folder_; }

 private:
  TempFolder folder_;
  kiv::StatusWindow* window_ = nullptr;
};

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

const QColor kYellow(255, 255, 0), kRed(255, 0, 0), kGreen(0, 255, 0), kBlue(0, 0, 255), kGrey(192, 192, 192);

/// Once a popup (menu or dialog) is active, runs `act` on it; every 20 ms
/// for 4 s at most.
void when_popup(std::function<void(QWidget*)> act, bool modal = false, int tries = 200) {
  QTimer::singleShot(20, [=] {
    QWidget* popup = modal ? QApplication::activeModalWidget() : QApplication::activePopupWidget();
    if (popup != nullptr) act(popup);
    else if (tries > 0) when_popup(act, modal, tries - 1);
  });
}

/// Chooses the menu item `downs` steps down from the top, with the keyboard,
/// as soon as the menu opens.
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
  void rows_lamps_and_title_follow_the_services();
  void menu_by_keyboard_opens_about_then_resets_idle_services();
  void close_from_menu_flushes_log_and_ends_loop_with_zero_while_connected();
  void status_change_is_handled_while_a_warning_box_is_open_and_configure_restarts();
  void statistics_show_rows_and_uptime_and_refresh();
  void log_refresh_keeps_the_place_read_and_follows_the_end();
};

void StatusWindowTest::rows_lamps_and_title_follow_the_services() {
  LoopbackServer remote(echo_handler);
  uint16_t refused = free_port(), live = free_port();
  WindowAgent agent(config_line("IDLE", free_port(), remote.port()) +
                    config_line("OFF", free_port(), remote.port(), "127.0.0.1", "NONE", 0) +
                    config_line("BAD", refused, free_port()) + config_line("LIVE", live, remote.port()));
  kiv::StatusWindow& window = agent.window();
  QCOMPARE(window.size(), QSize(kiv::STATUS_WIDTH, 4 * 15 + kiv::STATUS_BOTTOM_MARGIN));
  QCOMPARE(window.windowTitle(), QString("KIV"));
  const QColor at_start[] = {kYellow, kBlue, kYellow, kYellow};
  // Each lamp is a 10 x 10 square with a black outline, on its own row.
  QImage image = window.grab().toImage();
  for (int row = 0, top = 4; row < 4; ++row, top += 15) {
    QCOMPARE(lamp_colour(window, row), at_start[row]);
    QCOMPARE(image.pixelColor(100, top), QColor(Qt::black));
    QCOMPARE(image.pixelColor(109, top + 9), QColor(Qt::black));
    QCOMPARE(image.pixelColor(110, top + 5), kGrey);
    QCOMPARE(image.pixelColor(105, top + 10), kGrey);
  }

  close(connect_loopback(refused));
  QTRY_COMPARE_WITH_TIMEOUT(lamp_colour(window, 2), kRed, 15000);
  int client = connect_loopback(live);
  std::string echoed;
  run_beside_event_loop([&] { echoed = (send_bytes(client, "ping"), receive(client, 4)); });
  QCOMPARE(echoed, std::string("ping"));
  QTRY_COMPARE_WITH_TIMEOUT(lamp_colour(window, 3), kGreen, 15000);
  QCOMPARE(window.windowTitle(), QString("KIV-Connected"));
  QCOMPARE(lamp_colour(window, 0), kYellow);
  close(client);
  QTRY_COMPARE_WITH_TIMEOUT(lamp_colour(window, 3), kYellow, 15000);
  QTRY_COMPARE_WITH_TIMEOUT(window.windowTitle(), QString("KIV"), 15000);
}

void StatusWindowTest::menu_by_keyboard_opens_about_then_resets_idle_services() {
  LoopbackServer remote(echo_handler);
  uint16_t first = free_port(), second = free_port();
  WindowAgent agent(config_line("ONE", first, remote.port()) + config_line("TWO", second, remote.port()));
  QStringList texts;
  QList<int> ids;
  for (QAction* action : agent.window().context_menu()->actions())
    texts << (action->isSeparator() ? QString("-") : action->text()), ids << action->data().toInt();
  QCOMPARE(texts, QStringList({"Configure...", "Status...", "Log...", "Reset", "-", "About KIV", "-", "Close"}));
  QCOMPARE(ids, QList<int>({kiv::CMD_CONFIGURE, kiv::CMD_STATUS, kiv::CMD_LOG, kiv::CMD_RESET, 0, kiv::CMD_ABOUT, 0, 0}));

  agent.window().activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&agent.window()));
  QTRY_VERIFY_WITH_TIMEOUT(port_listening(first) && port_listening(second), 10000);
  // About, chosen with the keyboard and closed: the hidden menu stays the
  // application's focus widget, and the Menu key must still open the menu.
  QString about;
  choose_from_menu_when_open(5);  // About KIV
  when_popup([&about](QWidget* dialog) { about = dialog->windowTitle(), QTest::keyClick(dialog, Qt::Key_Escape); }, true);
  QTest::keyClick(agent.window().windowHandle(), Qt::Key_Menu);
  QCOMPARE(about, QString("About KIV Agent"));
  for (int press = 1; press <= 2; ++press) {
    bool opened = false;
    when_popup([&opened](QWidget* menu) { opened = true, QTest::keyClick(menu, Qt::Key_Escape); });
    QTest::keyClick(agent.window().windowHandle(), Qt::Key_Menu);
    QVERIFY(opened);
  }

  choose_from_menu_when_open(4);  // Reset
  QTest::keyClick(agent.window().windowHandle(), Qt::Key_Menu);
  QCOMPARE(logged_count("Pending KIV reset..."), 1);
  QTRY_COMPARE_WITH_TIMEOUT(logged_count("Resetting KIV..."), 1, 15000);
  QCOMPARE(logged_count("ONE - thread Closed"), 1);
  QCOMPARE(logged_count("TWO - thread Closed"), 1);
  QVERIFY(!kiv::reset_pending);
  QCOMPARE(lamp_colour(agent.window(), 1), kYellow);
  std::string echoed;
  run_beside_event_loop([&] { echoed = round_trip(second, "again"); });
  QCOMPARE(echoed, std::string("again"));
}

void StatusWindowTest::close_from_menu_flushes_log_and_ends_loop_with_zero_while_connected() {
  LoopbackServer remote(echo_handler);
  uint16_t port = free_port();
  WindowAgent agent(config_line("WEB", port, remote.port()), true);
  int client = connect_loopback(port);
  std::string echoed;
  run_beside_event_loop([&] { echoed = (send_bytes(client, "held"), receive(client, 4)); });
  QCOMPARE(echoed, std::string("held"));
  QCOMPARE(kiv::connection_count.load(), 1);

  // Close is the sixth item the keyboard reaches (separators are skipped).
  QTimer::singleShot(0, [&agent] {
    choose_from_menu_when_open(6);
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10), agent.window().mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(&agent.window(), &click);
  });
  QCOMPARE(kiv::qt_window_thread().run_event_loop(), 0);
  QVERIFY(agent.window().isHidden());
  std::string log = agent.folder().read("kiv.log");
  QVERIFY(log.find(":  *** KIV Started ***\n") != std::string::npos && log.find(": WEB Connected\n") != std::string::npos);
  close(client);
}

// A worker's notification is handled while another worker's warning box
// runs its own event loop; then Configure, Escape restarts the idle services.
void StatusWindowTest::status_change_is_handled_while_a_warning_box_is_open_and_configure_restarts() {
  WindowAgent agent("OFF 1 1 127.0.0.1 NONE 0\n");
  std::atomic<bool> box_seen{false}, status_done{false};
  QString seen;
  when_popup([&](QWidget* box) {
    seen = box->windowTitle() + "|" + qobject_cast<QMessageBox*>(box)->text() + "|" +
           (box->parentWidget() == &agent.window() ? "owned" : "not owned");
    box_seen = true;
    bool handled = QTest::qWaitFor([&] { return status_done.load(); }, 10000);
    seen += "|" + (handled ? lamp_colour(agent.window(), 0).name() : "not handled");
    qobject_cast<QMessageBox*>(box)->accept();
  }, true, 500);
  std::thread worker([&] {
    for (int i = 0; i < 500 && !box_seen; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kiv::service_table().rows[0].state = kiv::SVC_ERROR;
    kiv::send_notification(kiv::NOTIFY_STATUS_CHANGED);
    status_done = true;
  });
  run_beside_event_loop([] { kiv::show_warning("Something failed: 98"); });
  worker.join();
  QCOMPARE(seen, QString("KIV Error|Something failed: 98|owned|#ff0000"));

  when_popup([&seen](QWidget* dialog) { seen = dialog->windowTitle(), QTest::keyClick(dialog, Qt::Key_Escape); }, true);
  agent.window().on_system_command(kiv::CMD_CONFIGURE);
  QCOMPARE(seen, QString("KIV Configuration"));
  QCOMPARE(logged_count("KIV reconfigured..."), 0);
  QCOMPARE(logged_count("Resetting KIV..."), 1);
  QCOMPARE(lamp_colour(agent.window(), 0), kBlue);
}

void StatusWindowTest::statistics_show_rows_and_uptime_and_refresh() {
  WindowAgent agent(config_line("WEB", 1, 1, "127.0.0.1", "NONE", 0));
  kiv::ServiceRecord& row = kiv::service_table().rows[0];
  row.bytes_read = 5000;
  row.errors_t = 2;
  kiv::StatisticsDialog dialog(&agent.window());
  dialog.show();
  auto field = [&dialog](int id) { return dialog.findChild<QLineEdit*>(QString::number(id))->text(); };
  QRegularExpressionMatch uptime = QRegularExpression("^0 Days 0 Hours 0 Min ([0-9]+) Sec$").match(field(1023));
  QVERIFY2(uptime.hasMatch() && uptime.captured(1).toInt() <= 5, qPrintable(field(1023)));
  QCOMPARE(QStringList({field(1000), field(1005), field(1010), field(1015), field(1001), field(1019)}),
           QStringList({"WEB", "0", "4/0", "0/2/0", "", ""}));
  ++row.connections;
  const QString before = field(1023);
  QTRY_VERIFY_WITH_TIMEOUT(field(1023) != before && field(1005) == "1", 5000);
}

void StatusWindowTest::log_refresh_keeps_the_place_read_and_follows_the_end() {
  WindowAgent agent("");
  for (int i = 0; i < 200; ++i) kiv::log_event("a line");
  kiv::LogDialog dialog(&agent.window());
  dialog.show();
  QScrollBar* bar = dialog.findChild<QPlainTextEdit*>("1000")->verticalScrollBar();
  QVERIFY(bar->maximum() > 100);

  bar->setValue(50);
  kiv::log_event("one more");
  dialog.refresh();
  QCOMPARE(bar->value(), 50);
  bar->setValue(bar->maximum());
  int end = bar->maximum();
  for (int i = 0; i < 10; ++i) kiv::log_event("and more");
  dialog.refresh();
  QCOMPARE(bar->maximum(), end + 10);
  QCOMPARE(bar->value(), bar->maximum());
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
