// The Log dialog keeps the operator's place as new lines arrive.

#include "ui/qt/log_dialog.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

#include "core/event_log.h"
#include "tests/window_agent.h"

namespace kiv_test {

class LogDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void refresh_keeps_the_place_read_and_follows_the_end();
};

void LogDialogTest::refresh_keeps_the_place_read_and_follows_the_end() {
  WindowAgent agent("");
  for (int i = 0; i < 200; ++i) kiv::log_event("a line");
  kiv::LogDialog dialog(&agent.window());
  dialog.show();
  QScrollBar* bar = dialog.findChild<QPlainTextEdit*>("1000")->verticalScrollBar();
  QVERIFY(bar->maximum() > 100);

  bar->setValue(bar->maximum() / 2);
  int place = bar->value();
  kiv::log_event("one more");
  dialog.refresh();
  QCOMPARE(bar->value(), place);

  bar->setValue(bar->maximum());
  int end = bar->maximum();
  for (int i = 0; i < 10; ++i) kiv::log_event("and more");
  dialog.refresh();
  QCOMPARE(bar->maximum(), end + 10);
  QCOMPARE(bar->value(), bar->maximum());
}

}  // namespace kiv_test

KIV_WINDOW_TEST_MAIN(kiv_test::LogDialogTest)
#include "log_dialog_test.moc"
