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
  void keeps_its_text_after_a_flush_until_the_log_holds_more_lines();
  void reopening_rebuilds_at_once();
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

void LogDialogTest::keeps_its_text_after_a_flush_until_the_log_holds_more_lines() {
  WindowAgent agent("");
  kiv::log_event("second");
  kiv::log_event("third");
  kiv::LogDialog dialog(&agent.window());
  QString started = shown(dialog);
  QVERIFY2(started.endsWith(": third\n"), qPrintable(started));
  int lines = started.count('\n');
  QCOMPARE(lines, 3);

  kiv::flush_event_log();
  for (int i = 0; i < lines; ++i) kiv::log_event("after the flush");
  dialog.refresh();
  QCOMPARE(shown(dialog), started);
  kiv::log_event("one more");
  dialog.refresh();
  QCOMPARE(shown(dialog).count('\n'), lines + 1);
  QVERIFY(!shown(dialog).contains("KIV Started"));
  QVERIFY(shown(dialog).endsWith(": one more\n"));
}

void LogDialogTest::reopening_rebuilds_at_once() {
  WindowAgent agent("");
  {
    kiv::LogDialog first(&agent.window());
    first.show();
    QVERIFY(shown(first).contains(" *** KIV Started ***"));
    first.done(0);
  }
  kiv::LogDialog second(&agent.window());
  QVERIFY(shown(second).contains(" *** KIV Started ***"));
}

}  // namespace kiv_test

KIV_WINDOW_TEST_MAIN(kiv_test::LogDialogTest)
#include "log_dialog_test.moc"
