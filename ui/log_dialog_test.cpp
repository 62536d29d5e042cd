// The Log dialog: what it shows of the event log, and when.

#include "ui/log_dialog.h"

#include <QPlainTextEdit>
#include <QTest>

#include "core/event_log.h"
#include "tests/window_agent.h"

namespace kiv_test {

namespace {

QString shown(kiv::LogDialog& dialog) {
  return dialog.findChild<QPlainTextEdit*>("1000")->toPlainText();
}

}  // namespace

class LogDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void empty_log_shows_nothing_until_a_line_is_logged();
};

void LogDialogTest::empty_log_shows_nothing_until_a_line_is_logged() {
  WindowAgent agent("");
  kiv::flush_event_log();
  kiv::LogDialog dialog(&agent.window());
  dialog.show();
  QCOMPARE(shown(dialog), QString());
  kiv::log_event("a line logged later");
  // The view looks again every five seconds.
  QTRY_VERIFY_WITH_TIMEOUT(shown(dialog).endsWith(": a line logged later\n"), 8000);
  QCOMPARE(shown(dialog).count('\n'), 1);
}

}  // namespace kiv_test

KIV_WINDOW_TEST_MAIN(kiv_test::LogDialogTest)
#include "log_dialog_test.moc"
