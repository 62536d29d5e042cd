// The status window and dialogs of an agent started in this process as kiv-agent starts it: one
// agent for the whole scenario, as the agent's threads outlive any window.
#include <QtTest>
#include <QtWidgets>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "agent/lifecycle.h"
#include "core/service_table.h"
#include "tests/config_line.h"
#include "tests/event_lines.h"
#include "tests/loopback.h"
#include "tests/temp_folder.h"
#include "ui/qt/status_window.h"

namespace kiv_test {
namespace {

QString lamp(kiv::StatusWindow& window, int row) {
  return window.grab().toImage().pixelColor(105, row * kiv::ROW_SPACING + 9).name();
}

/// Runs `send` on a worker while this, the GUI thread, handles no event; whether it returned
/// within 20 s. What it sent waits for the GUI thread's next events.
bool sent_while_gui_thread_is_blocked(const std::function<void()>& send) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> sent = done->get_future();
  // Detached: a sender that never returns must not hold the test up.
  std::thread([send, done] {
    send();
    done->set_value();
  }).detach();
  return sent.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

/// Once a popup (menu, or with `modal` a dialog or box) is active, runs `act` on it; 10 s at most.
void when_popup(std::function<void(QWidget*)> act, bool modal = false, int tries = 500) {
  QTimer::singleShot(20, [=] {
    QWidget* popup = modal ? QApplication::activeModalWidget() : QApplication::activePopupWidget();
    if (popup != nullptr) {
      act(popup);
    } else if (tries > 0) {
      when_popup(act, modal, tries - 1);
    }
  });
}

void choose_from_menu(int downs) {
  when_popup([downs](QWidget* menu) {
    for (int i = 0; i < downs; ++i) QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
  });
}

QLineEdit* edit(QWidget* dialog, int id) {
  return dialog->findChild<QLineEdit*>(QString::number(id));
}

/// A box's title and text, and whether the status window owns it.
QString described(QWidget* box) {
  bool owned = dynamic_cast<kiv::StatusWindow*>(box->parentWidget()) != nullptr;
  return box->windowTitle() + "|" + qobject_cast<QMessageBox*>(box)->text() +
         (owned ? "" : "|not owned");
}

}  // namespace

class StatusWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void one_agent_driven_as_the_operator_would();
};

void StatusWindowTest::one_agent_driven_as_the_operator_would() {
  LoopbackServer remote(echo_handler);
  uint16_t live = free_port();
  uint16_t added = free_port();
  TempFolder folder;
  const std::string config =
      config_line("LIVE", live, remote.port()) +
      config_line("OFF", free_port(), remote.port(), "127.0.0.1", "NONE", 0) +
      config_line("BAD", free_port(), free_port());
  folder.write("kiv.cnf", config);
  QCOMPARE(chdir(folder.path().c_str()), 0);
  kiv::take_start_time();
  kiv::StatusWindow& window = kiv::create_status_window();
  QCOMPARE(lamp(window, 1), QString("#0000ff"));
  int client = connect_loopback(live);
  QTRY_COMPARE_WITH_TIMEOUT(lamp(window, 0), QString("#00ff00"), 20000);
  QTRY_COMPARE_WITH_TIMEOUT(window.windowTitle(), QString("KIV-Connected"), 20000);
  close(client);
  QTRY_COMPARE_WITH_TIMEOUT(lamp(window, 0), QString("#ffff00"), 20000);
  kiv::service_table().rows[1].state = kiv::SVC_ERROR;
  QCOMPARE(lamp(window, 1), QString("#ff0000"));

  // A worker's warning comes up over the status window once the worker has gone on: it never
  // waits for the GUI thread.
  QVERIFY2(sent_while_gui_thread_is_blocked([] { kiv::show_warning("Something failed: 98"); }),
           "a warning's sender waited for the operator");
  QString warning;
  when_popup([&warning](QWidget* box) {
    warning = described(box);
    QTest::keyClick(box, Qt::Key_Return);
  }, true);
  QTRY_COMPARE_WITH_TIMEOUT(warning, QString("KIV Error|Something failed: 98"), 20000);

  // Reset, chosen from the menu with the keyboard.
  choose_from_menu(4);
  QTest::keyClick(window.windowHandle(), Qt::Key_Menu);
  QCOMPARE(held_event_count("Pending KIV reset..."), 1);
  QTRY_COMPARE_WITH_TIMEOUT(held_event_count("Resetting KIV..."), 1, 20000);

  // The grid shows kiv.cnf; Enter is OK: kiv.cnf, now a folder, can't be written, and Yes
  // restarts with the row typed.
  QCOMPARE(unlink("kiv.cnf"), 0);
  QCOMPARE(mkdir("kiv.cnf", 0755), 0);
  QString grid;
  QString write_failure;
  QString question;
  when_popup([&](QWidget* dialog) {
    for (int row = 0; row < 3; ++row) {
      for (int id : {1000, 1005, 1029, 1010, 1023}) grid += edit(dialog, id + row)->text() + ' ';
      bool enabled = dialog->findChild<QCheckBox*>(QString::number(1015 + row))->isChecked();
      grid += enabled ? "1\n" : "0\n";
    }
    QTest::keyClick(dialog->findChild<QCheckBox*>("1018"), Qt::Key_Space);  // row 3, typed:
    const std::pair<int, QString> typed[] = {
        {1003, "ADDED"}, {1008, QString::number(added)}, {1032, QString::number(remote.port())},
        {1013, "127.0.0.1"}, {1026, "NONE"}};
    for (const auto& [id, text] : typed) QTest::keyClicks(edit(dialog, id), text);
    when_popup([&](QWidget* box) {
      when_popup([&](QWidget* yes_no) {
        question = described(yes_no);
        QTest::keyClick(yes_no, Qt::Key_Return);
      }, true);
      write_failure = described(box);
      QTest::keyClick(box, Qt::Key_Return);
    }, true);
    QTest::keyClick(edit(dialog, 1010), Qt::Key_Return);
  }, true);
  window.on_system_command(kiv::CMD_CONFIGURE);
  QCOMPARE(grid, QString::fromStdString(config));
  QCOMPARE(write_failure, QString("KIV Error|Cannot open kiv.cnf"));
  QCOMPARE(question, QString("Do You Want to Use New Settings?|You Changed KIV Settings,\n"
                             "Do You Want to Use\nNew Settings Now(Yes) or Later(No)?"));
  QTRY_COMPARE_WITH_TIMEOUT(held_event_count("Resetting KIV..."), 2, 20000);
  QCOMPARE(lamp(window, 1), QString("#0000ff"));
  QCOMPARE(round_trip(added, "added"), std::string("added"));
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
