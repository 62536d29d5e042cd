// The Statistics dialog: counters of real relays and control-port sessions,
// and the uptime.

#include "ui/qt/statistics_dialog.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/loopback.h"
#include "tests/window_agent.h"

namespace kiv_test {

namespace {

QString field(kiv::StatisticsDialog& dialog, int id) {
  auto* edit = dialog.findChild<QLineEdit*>(QString::number(id));
  return edit != nullptr ? edit->text() : QString("(no control %1)").arg(id);
}

/// The remote end of the relay: takes 1023 bytes, answers with 5000, then
/// waits for the client's side to close.
void take_1023_give_5000(int fd) {
  receive_exactly(fd, 1023);
  send_bytes(fd, std::string(5000, 'r'));
  receive_until_closed(fd);
}

}  // namespace

class StatisticsDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void relayed_bytes_show_in_whole_kilobytes();
  void unknown_control_command_counts_as_other_error();
  void uptime_starts_near_zero_and_advances();
};

void StatisticsDialogTest::relayed_bytes_show_in_whole_kilobytes() {
  LoopbackServer remote(take_1023_give_5000);
  uint16_t port = free_port();
  WindowAgent agent("WEB " + std::to_string(port) + " " + std::to_string(remote.port()) +
                    " 127.0.0.1 NONE 1\n");
  int client = connect_loopback(port);
  QVERIFY(client >= 0);
  std::string answer;
  run_beside_event_loop([&] {
    send_bytes(client, std::string(1023, 'w'));
    answer = receive_exactly(client, 5000);
    shutdown(client, SHUT_WR);
    receive_until_closed(client);
    close(client);
  });
  QCOMPARE(answer.size(), size_t{5000});

  kiv::StatisticsDialog dialog(&agent.window());
  dialog.show();
  QCOMPARE(field(dialog, 1000), QString("WEB"));
  QCOMPARE(field(dialog, 1005), QString("1"));
  QTRY_COMPARE_WITH_TIMEOUT(field(dialog, 1010), QString("4/0"), 10000);
  QCOMPARE(field(dialog, 1015), QString("0/0/0"));
  for (int empty : {1001, 1006, 1011, 1016, 1004, 1019}) QCOMPARE(field(dialog, empty), QString());
}

void StatisticsDialogTest::unknown_control_command_counts_as_other_error() {
  uint16_t port = free_port();
  WindowAgent agent("KIV " + std::to_string(port) + " " + std::to_string(port) +
                    " 0.0.0.0 NONE 1\n");
  int client = connect_loopback(port);
  QVERIFY(client >= 0);
  std::string banner, reply;
  run_beside_event_loop([&] {
    banner = receive_available(client);
    send_bytes(client, "FROB\r\n");
    reply = receive_available(client);
    send_bytes(client, "QUIT\r\n");
    receive_until_closed(client);
    close(client);
  });
  QCOMPARE(reply, std::string("Unknown Command\n"));

  kiv::StatisticsDialog dialog(&agent.window());
  QCOMPARE(field(dialog, 1000), QString("KIV"));
  QCOMPARE(field(dialog, 1005), QString("1"));
  QCOMPARE(field(dialog, 1015), QString("0/0/1"));
}

void StatisticsDialogTest::uptime_starts_near_zero_and_advances() {
  WindowAgent agent("");
  kiv::StatisticsDialog dialog(&agent.window());
  dialog.show();
  QRegularExpression layout("^0 Days 0 Hours 0 Min ([0-9]+) Sec$");
  QRegularExpressionMatch first = layout.match(field(dialog, 1023));
  QVERIFY2(first.hasMatch(), qPrintable(field(dialog, 1023)));
  QVERIFY(first.captured(1).toInt() <= 5);
  QString before = field(dialog, 1023);
  QTRY_VERIFY_WITH_TIMEOUT(field(dialog, 1023) != before, 5000);
  QVERIFY(layout.match(field(dialog, 1023)).hasMatch());
  QCOMPARE(field(dialog, 1000), QString());
}

}  // namespace kiv_test

KIV_WINDOW_TEST_MAIN(kiv_test::StatisticsDialogTest)
#include "statistics_dialog_test.moc"
