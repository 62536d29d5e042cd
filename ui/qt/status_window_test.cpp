// The status window: its rows, lamps and title as the services change, and
// its menu.

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <unistd.h>

#include "core/lifecycle.h"
#include "ui/qt/qt_window_thread.h"
#include "tests/config_line.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"
#include "tests/window_agent.h"

namespace kiv_test {

namespace {

const QColor kYellow(255, 255, 0);
const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);
const QColor kBlue(0, 0, 255);
const QColor kGrey(192, 192, 192);

/// Chooses the menu item `downs` steps down from the top, with the keyboard,
/// as soon as the menu opens.
void choose_from_menu_when_open(int downs) {
  auto* timer = new QTimer;
  auto tries = std::make_shared<int>(0);
  QObject::connect(timer, &QTimer::timeout, [timer, downs, tries] {
    QWidget* popup = QApplication::activePopupWidget();
    if (popup == nullptr && ++*tries < 200) return;
    timer->deleteLater();
    if (popup == nullptr) return;
    for (int i = 0; i < downs; ++i) QTest::keyClick(popup, Qt::Key_Down);
    QTest::keyClick(popup, Qt::Key_Return);
  });
  timer->start(20);
}

/// Presses the Menu key on `window`, as the window system hands it to the
/// window's focus: whether the menu opened (Escape closes it).
bool menu_key_opens_menu(QWidget& window) {
  bool opened = false;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&opened] {
    QWidget* popup = QApplication::activePopupWidget();
    if (popup == nullptr) return;
    opened = true;
    QTest::keyClick(popup, Qt::Key_Escape);
  });
  closer.start(20);
  QTest::keyClick(window.windowHandle(), Qt::Key_Menu);
  return opened;
}

}  // namespace

class StatusWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void rows_lamps_and_title_follow_the_services();
  void menu_lists_commands_in_order();
  void menu_key_opens_the_menu_again_after_a_dialog();
  void reset_from_menu_restarts_idle_services();
  void configure_then_escape_restarts_services_when_none_runs();
  void close_from_menu_flushes_log_and_ends_loop_with_zero_while_connected();
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
  for (int row = 0; row < 4; ++row) {
    QCOMPARE(lamp_colour(window, row), at_start[row]);
    int top = row * 15 + 4;
    QCOMPARE(image.pixelColor(100, top), QColor(Qt::black));
    QCOMPARE(image.pixelColor(109, top + 9), QColor(Qt::black));
    QCOMPARE(image.pixelColor(110, top + 5), kGrey);
    QCOMPARE(image.pixelColor(105, top + 10), kGrey);
  }

  int refused_client = connect_loopback(refused);
  QTRY_COMPARE_WITH_TIMEOUT(lamp_colour(window, 2), kRed, 15000);
  close(refused_client);
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

void StatusWindowTest::menu_lists_commands_in_order() {
  WindowAgent agent("");
  QCOMPARE(agent.window().size(), QSize(kiv::STATUS_WIDTH, kiv::STATUS_BOTTOM_MARGIN));
  QList<QAction*> actions = agent.window().context_menu()->actions();
  QStringList texts;
  QList<int> ids;
  for (QAction* action : actions) {
    texts << (action->isSeparator() ? QString("-") : action->text());
    ids << action->data().toInt();
    QVERIFY(action->isEnabled());
    QVERIFY(!action->isCheckable());
  }
  QCOMPARE(texts, QStringList({"Configure...", "Status...", "Log...", "Reset", "-", "About KIV",
                               "-", "Close"}));
  QCOMPARE(ids, QList<int>({kiv::CMD_CONFIGURE, kiv::CMD_STATUS, kiv::CMD_LOG, kiv::CMD_RESET, 0,
                            kiv::CMD_ABOUT, 0, 0}));
}

void StatusWindowTest::menu_key_opens_the_menu_again_after_a_dialog() {
  WindowAgent agent("");
  agent.window().activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&agent.window()));
  // About, chosen from the menu with the keyboard, then closed: the hidden
  // menu stays the application's focus widget.
  QString about;
  QTimer escaper;
  QObject::connect(&escaper, &QTimer::timeout, [&about] {
    if (QWidget* dialog = QApplication::activeModalWidget()) {
      about = dialog->windowTitle();
      QTest::keyClick(dialog, Qt::Key_Escape);
    }
  });
  escaper.start(20);
  choose_from_menu_when_open(5);  // About KIV
  QTest::keyClick(agent.window().windowHandle(), Qt::Key_Menu);
  escaper.stop();
  QCOMPARE(about, QString("About KIV Agent"));
  for (int press = 1; press <= 3; ++press) QVERIFY(menu_key_opens_menu(agent.window()));
}

void StatusWindowTest::reset_from_menu_restarts_idle_services() {
  LoopbackServer remote(echo_handler);
  uint16_t first = free_port(), second = free_port();
  WindowAgent agent(config_line("ONE", first, remote.port()) + config_line("TWO", second, remote.port()));
  QTRY_VERIFY_WITH_TIMEOUT(port_listening(first) && port_listening(second), 10000);

  // The Menu key opens the menu; Reset is the fourth item.
  choose_from_menu_when_open(4);
  QTest::keyClick(agent.window().windowHandle(), Qt::Key_Menu);
  QCOMPARE(logged_count("Pending KIV reset..."), 1);

  QTRY_COMPARE_WITH_TIMEOUT(logged_count("Resetting KIV..."), 1, 15000);
  QCOMPARE(logged_count("ONE - thread Closed"), 1);
  QCOMPARE(logged_count("TWO - thread Closed"), 1);
  QVERIFY(!kiv::reset_pending);
  QCOMPARE(lamp_colour(agent.window(), 0), kYellow);
  QCOMPARE(lamp_colour(agent.window(), 1), kYellow);

  std::string echoed;
  run_beside_event_loop([&] { echoed = round_trip(second, "again"); });
  QCOMPARE(echoed, std::string("again"));
}

void StatusWindowTest::configure_then_escape_restarts_services_when_none_runs() {
  WindowAgent agent(config_line("OFF", free_port(), free_port(), "127.0.0.1", "NONE", 0));
  QString caption;
  QTimer escaper;
  QObject::connect(&escaper, &QTimer::timeout, [&] {
    QWidget* dialog = QApplication::activeModalWidget();
    if (dialog == nullptr) return;
    caption = dialog->windowTitle();
    QTest::keyClick(dialog, Qt::Key_Escape);
  });
  escaper.start(20);
  agent.window().on_system_command(kiv::CMD_CONFIGURE);
  QCOMPARE(caption, QString("KIV Configuration"));
  QCOMPARE(logged_count("KIV reconfigured..."), 0);
  QCOMPARE(logged_count("Resetting KIV..."), 1);
  QCOMPARE(lamp_colour(agent.window(), 0), kBlue);
}

void StatusWindowTest::close_from_menu_flushes_log_and_ends_loop_with_zero_while_connected() {
  LoopbackServer remote(echo_handler);
  uint16_t port = free_port();
  WindowAgent agent(config_line("WEB", port, remote.port()), true);
  int client = connect_loopback(port);
  QVERIFY(client >= 0);
  std::string echoed;
  run_beside_event_loop([&] {
    send_bytes(client, "held");
    echoed = receive(client, 4);
  });
  QCOMPARE(echoed, std::string("held"));
  QCOMPARE(kiv::connection_count.load(), 1);

  // Close is the sixth item the keyboard reaches (separators are skipped).
  QTimer::singleShot(0, [&agent] {
    choose_from_menu_when_open(6);
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10),
                            agent.window().mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(&agent.window(), &click);
  });
  QCOMPARE(kiv::qt_window_thread().run_event_loop(), 0);
  QVERIFY(agent.window().isHidden());
  std::string log = agent.folder().read("kiv.log");
  QVERIFY(log.find(":  *** KIV Started ***\n") != std::string::npos);
  QVERIFY(log.find(": WEB Connected\n") != std::string::npos);
  close(client);
}

}  // namespace kiv_test

KIV_WINDOW_TEST_MAIN(kiv_test::StatusWindowTest)
#include "status_window_test.moc"
