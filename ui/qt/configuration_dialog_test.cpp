// The Configuration dialog's widgets: the grid shows the table, OK and the
// question, Cancel in all its forms. The rules of the grid are tested apart.

#include "ui/qt/configuration_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "core/config_file.h"
#include "core/service_table.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace {

using kiv::ConfigurationDialog;

template <typename Control>
Control* control(QWidget* dialog, int id) {
  return dialog->findChild<Control*>(QString::number(id));
}

// Types one row into row 0 of the grid and ticks its check box.
void type_row_0(QWidget* dialog, const QStringList& name_port_rport_host_table) {
  if (!control<QCheckBox>(dialog, 1015)->isChecked()) QTest::keyClick(control<QCheckBox>(dialog, 1015), Qt::Key_Space);
  const int ids[] = {1000, 1005, 1029, 1010, 1023};
  for (int f = 0; f < 5; ++f) {
    control<QLineEdit>(dialog, ids[f])->clear();
    QTest::keyClicks(control<QLineEdit>(dialog, ids[f]), name_port_rport_host_table[f]);
  }
}

// Runs `action` on the active modal widget once it is a W (for at most 20 s).
template <typename W>
void when_active(std::function<void(W*)> action, int looks_left = 2000) {
  QTimer::singleShot(10, [action, looks_left] {
    if (auto* widget = qobject_cast<W*>(QApplication::activeModalWidget())) action(widget);
    else if (looks_left > 0) when_active<W>(action, looks_left - 1);
  });
}

QString row_text(int r) {
  kiv::ServiceConfig row = kiv::service_table().rows[r].config();
  return QString::asprintf("%s %u %u %s %s %d y%d", row.name, unsigned{row.port}, unsigned{row.remote_port},
                           row.host, row.table_name, row.enabled, row.row_y);
}

}  // namespace

class ConfigurationDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    kiv::install_window_thread(warnings_ = new kiv_test::KeptWarnings);  // never destroyed
    status_window_.show();
    QVERIFY(QTest::qWaitForWindowExposed(&status_window_));
  }
  void init() {
    folder_ = std::make_unique<kiv_test::TempFolder>();
    QCOMPARE(chdir(folder_->path().c_str()), 0);
  }
  void opensShowingTheTableAndAsksOnOk();
  void cancelEscapeAndCloseChangeNothing_data();
  void cancelEscapeAndCloseChangeNothing();

 private:
  // Opens the dialog over the status window, lets `work` type and confirm,
  // and answers the question, if asked, with `answer`; returns the result.
  int run_dialog(std::function<void(ConfigurationDialog*)> work, QMessageBox::StandardButton answer) {
    question_ = nullptr;
    when_active<ConfigurationDialog>([this, work, answer](ConfigurationDialog* dialog) {
      when_active<QMessageBox>([this, answer](QMessageBox* box) {
        question_ = box->parentWidget();
        question_text_ = box->windowTitle() + "|" + box->text() + "|" + QString::number(box->icon());
        box->button(answer)->click();
      });
      work(dialog);
    });
    return kiv::run_configuration_dialog(&status_window_);
  }

  QWidget status_window_;
  kiv_test::KeptWarnings* warnings_ = nullptr;
  std::unique_ptr<kiv_test::TempFolder> folder_;
  QWidget* question_ = nullptr;  // the owner of the question, once asked
  QString question_text_;
};

void ConfigurationDialogTest::opensShowingTheTableAndAsksOnOk() {
  folder_->write("kiv.cnf", "KIV 999 999 0.0.0.0 NONE 1\nMAIL 40000 110 10.0.0.5 WINDOWS -2\nNEWS 119 119 news NONE 0\n");
  kiv::load_service_table();
  {
    ConfigurationDialog dialog(&status_window_);
    QStringList shown;
    for (int i = 0; i < kiv::MAX_SERVICES; ++i) {
      for (int id : {1000, 1005, 1029, 1010, 1023}) shown << control<QLineEdit>(&dialog, id + i)->text();
      shown << (control<QCheckBox>(&dialog, 1015 + i)->isChecked() ? "on" : "off");
    }
    QCOMPARE(shown.join(' '), QString("KIV 999 999 0.0.0.0 NONE on MAIL 40000 110 10.0.0.5 WINDOWS on "
                                      "NEWS 119 119 news NONE off      off      off"));
    QCOMPARE(dialog.focusWidget(), control<QWidget>(&dialog, 1));
  }
  // Enter in an edit is OK: unchanged, the file is written as read
  // (a non-zero enabled value taken back as 1).
  QCOMPARE(run_dialog([](ConfigurationDialog* d) { QTest::keyClick(control<QLineEdit>(d, 1010), Qt::Key_Return); },
                      QMessageBox::No), 0);
  QCOMPARE(question_, &status_window_);
  QCOMPARE(question_text_, QString("Do You Want to Use New Settings?|You Changed KIV Settings,\nDo You Want to Use\n"
                                   "New Settings Now(Yes) or Later(No)?|%1").arg(int{QMessageBox::Question}));
  QCOMPARE(folder_->read("kiv.cnf"),
           std::string("KIV 999 999 0.0.0.0 NONE 1\nMAIL 40000 110 10.0.0.5 WINDOWS 1\nNEWS 119 119 news NONE 0\n"));

  // A folder in the file's place, which even root can't write: reported,
  // and the question is asked all the same.
  QCOMPARE(unlink(folder_->file("kiv.cnf").c_str()), 0);
  QCOMPARE(mkdir(folder_->file("kiv.cnf").c_str(), 0755), 0);
  QCOMPARE(run_dialog([](ConfigurationDialog* d) {
             type_row_0(d, {"S", "2000", "21", "host", "T"});
             for (int id : {1001, 1011, 1002, 1012}) control<QLineEdit>(d, id)->clear();
             QTest::mouseClick(control<QPushButton>(d, 1), Qt::LeftButton);
           }, QMessageBox::Yes), 1);
  QCOMPARE(warnings_->take(), std::vector<std::string>{"Cannot open kiv.cnf"});
  QCOMPARE(question_, &status_window_);
  QCOMPARE(kiv::service_table().service_count.load(), 1);
  QCOMPARE(row_text(0), QStringLiteral("S 2000 21 host T 1 y0"));
}

void ConfigurationDialogTest::cancelEscapeAndCloseChangeNothing_data() {
  QTest::addColumn<QString>("way");
  for (const char* way : {"Cancel", "Escape", "close"}) QTest::newRow(way) << QString(way);
}

void ConfigurationDialogTest::cancelEscapeAndCloseChangeNothing() {
  QFETCH(QString, way);
  const std::string config = "MAIL 110 110 mhost NONE 0\nNEWS 119 119 nhost NONE 0\n";
  folder_->write("kiv.cnf", config);
  kiv::load_service_table();
  QCOMPARE(run_dialog([way](ConfigurationDialog* dialog) {
             type_row_0(dialog, {"X", "1", "1", "xhost", "NONE"});
             if (way == "Cancel") QTest::mouseClick(control<QPushButton>(dialog, 2), Qt::LeftButton);
             else if (way == "Escape") QTest::keyClick(control<QLineEdit>(dialog, 1000), Qt::Key_Escape);
             else dialog->close();
           }, QMessageBox::Yes), 0);
  QVERIFY(question_ == nullptr);
  QCOMPARE(kiv::service_table().service_count.load(), 2);
  QCOMPARE(row_text(0), QStringLiteral("MAIL 110 110 mhost NONE 0 y0"));
  QCOMPARE(folder_->read("kiv.cnf"), config);
}

QTEST_MAIN(ConfigurationDialogTest)
#include "configuration_dialog_test.moc"
