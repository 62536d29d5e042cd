// The Statistics dialog: each configured row's counters in its own fields,
// and the uptime, refreshed every second.

#include "ui/qt/statistics_dialog.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>

#include "core/service_table.h"
#include "tests/config_line.h"
#include "tests/window_agent.h"

namespace kiv_test {

class StatisticsDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void rows_and_uptime_show_and_refresh();
};

void StatisticsDialogTest::rows_and_uptime_show_and_refresh() {
  WindowAgent agent(config_line("WEB", 1, 1, "127.0.0.1", "NONE", 0));
  kiv::ServiceRecord& row = kiv::service_table().rows[0];
  row.bytes_read = 5000;
  row.errors_t = 2;
  kiv::StatisticsDialog dialog(&agent.window());
  dialog.show();
  auto field = [&dialog](int id) { return dialog.findChild<QLineEdit*>(QString::number(id))->text(); };
  QRegularExpression layout("^0 Days 0 Hours 0 Min ([0-9]+) Sec$");
  QRegularExpressionMatch first = layout.match(field(1023));
  QVERIFY2(first.hasMatch() && first.captured(1).toInt() <= 5, qPrintable(field(1023)));
  const QString shown[] = {field(1000), field(1005), field(1010), field(1015)};
  QCOMPARE(shown[0], QString("WEB"));
  QCOMPARE(shown[1], QString("0"));
  QCOMPARE(shown[2], QString("4/0"));
  QCOMPARE(shown[3], QString("0/2/0"));
  for (int empty : {1001, 1006, 1011, 1016, 1004, 1019}) QCOMPARE(field(empty), QString());
  ++row.connections;
  const QString before = field(1023);
  QTRY_VERIFY_WITH_TIMEOUT(field(1023) != before && field(1005) == "1", 5000);
}

}  // namespace kiv_test

KIV_WINDOW_TEST_MAIN(kiv_test::StatisticsDialogTest)
#include "statistics_dialog_test.moc"
