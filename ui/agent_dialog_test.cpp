// The Statistics, Log and About dialogs as opened from the status window's
// menu: modal, and closed by Enter, Escape or the close button.

#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>

#include "ui/agent_dialog.h"
#include "tests/window_agent.h"

namespace kiv_test {

namespace {

/// How a test ends the dialog that is open.
enum class Close { Enter, Escape, Button };

/// Opens the dialog of `command` from the status window and closes it the way
/// given once it shows; returns the dialog's caption, or "" if none opened.
QString open_and_close(kiv::StatusWindow& window, int command, Close how) {
  QString caption;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    auto* dialog = dynamic_cast<kiv::AgentDialog*>(open_modal());
    if (dialog == nullptr) return;
    caption = dialog->windowTitle();
    if (how == Close::Button) {
      dialog->close();
    } else {
      QTest::keyClick(dialog->focusWidget() != nullptr ? dialog->focusWidget() : dialog,
                      how == Close::Enter ? Qt::Key_Return : Qt::Key_Escape);
    }
  });
  closer.start(20);
  window.on_system_command(command);
  return caption;
}

}  // namespace

class AgentDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void enter_escape_and_close_button_close_each_dialog();
};

void AgentDialogTest::enter_escape_and_close_button_close_each_dialog() {
  WindowAgent agent("WEB 8080 80 127.0.0.1 NONE 0\n");
  const struct {
    int command;
    const char* caption;
  } dialogs[] = {{kiv::CMD_STATUS, "KIV Statistics"},
                 {kiv::CMD_LOG, "KIV Log"},
                 {kiv::CMD_ABOUT, "About KIV Agent"}};
  for (const auto& dialog : dialogs) {
    for (Close how : {Close::Enter, Close::Escape, Close::Button}) {
      QCOMPARE(open_and_close(agent.window(), dialog.command, how), QString(dialog.caption));
      QCOMPARE(open_modal(), static_cast<QWidget*>(nullptr));
    }
  }
}

}  // namespace kiv_test

KIV_WINDOW_TEST_MAIN(kiv_test::AgentDialogTest)
#include "agent_dialog_test.moc"
