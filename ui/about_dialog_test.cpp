// The About dialog's texts and button.

#include "ui/about_dialog.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "tests/window_agent.h"

namespace kiv_test {

class AboutDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void shows_five_centred_lines_and_ok();
};

void AboutDialogTest::shows_five_centred_lines_and_ok() {
  WindowAgent agent("");
  kiv::AboutDialog dialog(&agent.window());
  QCOMPARE(dialog.windowTitle(), QString("About KIV Agent"));
  QStringList texts;
  for (QLabel* label : dialog.findChildren<QLabel*>()) {
    texts << label->text();
    QVERIFY(label->alignment() & Qt::AlignHCenter);
    QCOMPARE(label->width(), dialog.width());
  }
  QCOMPARE(texts, QStringList({"Microsoft Windows NT", "or", "Microsoft Windows 95", "KIV Agent",
                               "Version 1.4b"}));
  auto* ok = dialog.findChild<QPushButton*>("1");
  QVERIFY(ok != nullptr);
  QCOMPARE(ok->text(), QString("OK"));
  QVERIFY(ok->isDefault());
  dialog.show();
  QTest::mouseClick(ok, Qt::LeftButton);
  QVERIFY(!dialog.isVisible());
  QCOMPARE(dialog.result(), 1);
}

}  // namespace kiv_test

KIV_WINDOW_TEST_MAIN(kiv_test::AboutDialogTest)
#include "about_dialog_test.moc"
