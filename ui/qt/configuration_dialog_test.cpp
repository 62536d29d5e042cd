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
#include <memory>
#include <string>
#include <vector>

#include "core/config_file.h"
#include "core/service_table.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace {

using kiv::ConfigurationDialog;

// The dialog's window thread: it keeps the warnings shown. Never destroyed.
kiv_test::KeptWarnings* warnings = nullptr;

/// What the operator types into one row of the grid.
struct GridRow {
  bool enabled;
  QString name, port, remote_port, host, table_name;
};

/// The question the dialog asked, as the operator saw it.
struct Question {
  bool asked = false;
  QString text;
  QString caption;
  QWidget* owner = nullptr;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

template <typename Control>
Control* control(QWidget* dialog, int id) {
  return dialog->findChild<Control*>(QString::number(id));
}

// Types `rows` into the grid; rows not given are typed blank.
void type_grid(QWidget* dialog, const std::vector<GridRow>& rows) {
  for (int i = 0; i < kiv::MAX_SERVICES; ++i) {
    GridRow row = i < static_cast<int>(rows.size()) ? rows[i] : GridRow{false, {}, {}, {}, {}, {}};
    auto* enabled = control<QCheckBox>(dialog, 1015 + i);
    if (enabled->isChecked() != row.enabled) QTest::keyClick(enabled, Qt::Key_Space);
    const std::pair<int, QString> edits[] = {{1000, row.name},      {1005, row.port},
                                             {1029, row.remote_port}, {1010, row.host},
                                             {1023, row.table_name}};
    for (const auto& [first_id, text] : edits) {
      auto* edit = control<QLineEdit>(dialog, first_id + i);
      edit->clear();
      QTest::keyClicks(edit, text);
    }
  }
}

void press_ok(QWidget* dialog) {
  QTest::mouseClick(control<QPushButton>(dialog, 1), Qt::LeftButton);
}

// Runs `action` on the active modal widget once it is a W, looking every
// 10 ms for at most 20 s.
template <typename W>
void when_active(std::function<void(W*)> action, int looks_left = 2000) {
  QTimer::singleShot(10, [action, looks_left] {
    if (auto* widget = qobject_cast<W*>(QApplication::activeModalWidget())) {
      action(widget);
    } else if (looks_left > 0) {
      when_active<W>(action, looks_left - 1);
    } else {
      qWarning("No %s showed", W::staticMetaObject.className());
    }
  });
}

// A row of the table as "name port remote_port host table_name enabled y<row_y>".
QString row_text(int r) {
  kiv::ServiceConfig row = kiv::service_table().rows[r].config();
  return QString::asprintf("%s %u %u %s %s %d y%d", row.name, unsigned{row.port},
                           unsigned{row.remote_port}, row.host, row.table_name, row.enabled,
                           row.row_y);
}

}  // namespace

class ConfigurationDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();

  void opensShowingTheTable();
  void unwritableFileIsReportedAndTheQuestionStillAsked();
  void cancelEscapeAndCloseChangeNothing_data();
  void cancelEscapeAndCloseChangeNothing();

 private:
  // Opens the dialog over the status window, lets `work` type and confirm,
  // and answers the question with `answer`; returns the dialog's result.
  int run_dialog(std::function<void(ConfigurationDialog*)> work,
                 QMessageBox::StandardButton answer);
  int type_and_press_ok(const std::vector<GridRow>& rows, QMessageBox::StandardButton answer) {
    return run_dialog(
        [rows](ConfigurationDialog* dialog) {
          type_grid(dialog, rows);
          press_ok(dialog);
        },
        answer);
  }
  void load_table(const std::string& config_text) {
    folder_->write("kiv.cnf", config_text);
    kiv::load_service_table();
  }

  QWidget status_window_;
  std::unique_ptr<kiv_test::TempFolder> folder_;
  Question question_;
};

void ConfigurationDialogTest::initTestCase() {
  warnings = new kiv_test::KeptWarnings;
  kiv::install_window_thread(warnings);
  status_window_.setWindowTitle(QStringLiteral("KIV"));
  status_window_.setGeometry(100, 100, 120, 60);
  status_window_.show();
  QVERIFY(QTest::qWaitForWindowExposed(&status_window_));
}

void ConfigurationDialogTest::init() {
  folder_ = std::make_unique<kiv_test::TempFolder>();
  QCOMPARE(chdir(folder_->path().c_str()), 0);
}

int ConfigurationDialogTest::run_dialog(std::function<void(ConfigurationDialog*)> work,
                                        QMessageBox::StandardButton answer) {
  question_ = Question{};
  when_active<ConfigurationDialog>([this, work, answer](ConfigurationDialog* dialog) {
    when_active<QMessageBox>([this, answer](QMessageBox* box) {
      question_ = Question{true, box->text(), box->windowTitle(), box->parentWidget(), box->icon()};
      box->button(answer)->click();
    });
    work(dialog);
  });
  return kiv::run_configuration_dialog(&status_window_);
}

void ConfigurationDialogTest::opensShowingTheTable() {
  const std::string config =
      "KIV 999 999 0.0.0.0 NONE 1\n"
      "MAIL 40000 110 10.0.0.5 WINDOWS -2\n"
      "NEWS 119 119 news NONE 0\n";
  load_table(config);
  {
    ConfigurationDialog dialog(&status_window_);
    const char* rows[3][5] = {{"KIV", "999", "999", "0.0.0.0", "NONE"},
                              {"MAIL", "40000", "110", "10.0.0.5", "WINDOWS"},
                              {"NEWS", "119", "119", "news", "NONE"}};
    const bool enabled[] = {true, true, false};
    for (int i = 0; i < kiv::MAX_SERVICES; ++i) {
      const int ids[] = {1000, 1005, 1029, 1010, 1023};
      for (int f = 0; f < 5; ++f) {
        QCOMPARE(control<QLineEdit>(&dialog, ids[f] + i)->text(),
                 QString::fromLatin1(i < 3 ? rows[i][f] : ""));
      }
      QCOMPARE(control<QCheckBox>(&dialog, 1015 + i)->isChecked(), i < 3 && enabled[i]);
    }
    QCOMPARE(dialog.focusWidget(), control<QWidget>(&dialog, 1));
  }

  // OK (Enter in an edit) without a change writes the file as it was read
  // (any non-zero enabled value is taken back as 1).
  QCOMPARE(run_dialog([](ConfigurationDialog* dialog) { QTest::keyClick(control<QLineEdit>(dialog, 1010), Qt::Key_Return); },
                      QMessageBox::No),
           0);
  QCOMPARE(QString::fromStdString(folder_->read("kiv.cnf")),
           QStringLiteral("KIV 999 999 0.0.0.0 NONE 1\n"
                          "MAIL 40000 110 10.0.0.5 WINDOWS 1\n"
                          "NEWS 119 119 news NONE 0\n"));
}

void ConfigurationDialogTest::unwritableFileIsReportedAndTheQuestionStillAsked() {
  load_table("OLD 1 1 old NONE 1\n");
  QCOMPARE(unlink(folder_->file("kiv.cnf").c_str()), 0);
  // A folder in the file's place: even root can't open it for writing.
  QCOMPARE(mkdir(folder_->file("kiv.cnf").c_str(), 0755), 0);

  QCOMPARE(type_and_press_ok({{true, "S", "2000", "", "host", "NONE"}}, QMessageBox::Yes), 1);
  QCOMPARE(warnings->take(), std::vector<std::string>{"Cannot open kiv.cnf"});
  QVERIFY(question_.asked);
  QCOMPARE(question_.caption, QStringLiteral("Do You Want to Use New Settings?"));
  QCOMPARE(question_.text,
           QStringLiteral("You Changed KIV Settings,\nDo You Want to Use\n"
                          "New Settings Now(Yes) or Later(No)?"));
  QCOMPARE(question_.owner, &status_window_);
  QCOMPARE(question_.icon, QMessageBox::Question);
  QCOMPARE(kiv::service_table().service_count.load(), 1);
  QCOMPARE(row_text(0), QStringLiteral("S 2000 2000 host NONE 1 y0"));
}

void ConfigurationDialogTest::cancelEscapeAndCloseChangeNothing_data() {
  QTest::addColumn<QString>("way");
  QTest::newRow("Cancel") << QStringLiteral("Cancel");
  QTest::newRow("Escape") << QStringLiteral("Escape");
  QTest::newRow("close button") << QStringLiteral("close");
}

void ConfigurationDialogTest::cancelEscapeAndCloseChangeNothing() {
  QFETCH(QString, way);
  const std::string config = "MAIL 110 110 mhost NONE 0\nNEWS 119 119 nhost NONE 0\n";
  load_table(config);

  int result = run_dialog(
      [way](ConfigurationDialog* dialog) {
        type_grid(dialog, {{true, "X", "1", "1", "xhost", "NONE"}});
        if (way == QStringLiteral("Cancel")) {
          QTest::mouseClick(control<QPushButton>(dialog, 2), Qt::LeftButton);
        } else if (way == QStringLiteral("Escape")) {
          QTest::keyClick(control<QLineEdit>(dialog, 1000), Qt::Key_Escape);
        } else {
          dialog->close();
        }
      },
      QMessageBox::Yes);
  QCOMPARE(result, 0);
  QVERIFY(!question_.asked);
  QCOMPARE(kiv::service_table().service_count.load(), 2);
  QCOMPARE(row_text(0), QStringLiteral("MAIL 110 110 mhost NONE 0 y0"));
  QCOMPARE(row_text(1), QStringLiteral("NEWS 119 119 nhost NONE 0 y15"));
  QCOMPARE(folder_->read("kiv.cnf"), config);
}

QTEST_MAIN(ConfigurationDialogTest)
#include "configuration_dialog_test.moc"
