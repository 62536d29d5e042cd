#include "ui/qt/configuration_dialog.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

#include "ui/configuration_grid.h"

namespace kiv {

namespace {

// The dialog is laid out in dialog units: a quarter of the font's average
// character width across and an eighth of its height down, so the grid keeps
// its proportions in whatever font Qt gives it.
class DialogUnits {
 public:
  explicit DialogUnits(const QFontMetrics& metrics)
      : across_(metrics.horizontalAdvance(
                    QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                52.0 / 4.0),
        down_(metrics.height() / 8.0) {}

  int x(int units) const { return qRound(units * across_); }
  int y(int units) const { return qRound(units * down_); }
  QRect rect(int x_units, int y_units, int width_units, int height_units) const {
    return QRect(x(x_units), y(y_units), x(width_units), y(height_units));
  }

 private:
  double across_;
  double down_;
};

constexpr int DIALOG_WIDTH = 262;
constexpr int DIALOG_HEIGHT = 124;

struct Label {
  const char* id;  // empty: the control has none
  const char* text;
  int x, y, width, height;
};

constexpr Label HEADERS[] = {
    {"1020", "Enable", 8, 3, 29, 7},  {"1021", "Service", 38, 3, 29, 7},
    {"1022", "Port", 76, 3, 16, 7},   {"1034", "RPort", 102, 3, 19, 7},
    {"", "Host", 130, 3, 29, 7},      {"1028", "Conv. Table", 200, 3, 41, 7},
};

struct Column {
  int first_id;  // row i's control has id first_id + i
  const char* header;
  int x, width, height;
  int y[MAX_SERVICES];
};

constexpr Column ENABLED_COLUMN{1015, "Enable", 15, 11, 10, {19, 36, 50, 67, 83}};
constexpr Column NAME_COLUMN{1000, "Service", 36, 34, 12, {17, 35, 49, 66, 82}};
constexpr Column PORT_COLUMN{1005, "Port", 72, 25, 12, {17, 34, 49, 66, 82}};
constexpr Column REMOTE_PORT_COLUMN{1029, "RPort", 99, 25, 12, {17, 33, 49, 65, 81}};
constexpr Column HOST_COLUMN{1010, "Host", 127, 67, 12, {17, 34, 49, 66, 82}};
constexpr Column TABLE_NAME_COLUMN{1023, "Conv. Table", 199, 55, 12, {17, 35, 49, 65, 81}};

template <typename Control>
void place_column(QWidget* dialog, const DialogUnits& units, const Column& column,
                  Control* (&controls)[MAX_SERVICES]) {
  for (int i = 0; i < MAX_SERVICES; ++i) {
    Control* control = new Control(dialog);
    control->setObjectName(QString::number(column.first_id + i));
    // The grid has no label per control: say which cell it is.
    control->setAccessibleName(
        QStringLiteral("%1 %2").arg(QLatin1String(column.header)).arg(i + 1));
    control->setGeometry(units.rect(column.x, column.y[i], column.width, column.height));
    controls[i] = control;
  }
}

QPushButton* place_button(QWidget* dialog, const char* id, const char* text, const QRect& rect) {
  auto* button = new QPushButton(QString::fromLatin1(text), dialog);
  button->setObjectName(QLatin1String(id));
  button->setGeometry(rect);
  return button;
}

void place_header(QWidget* dialog, const DialogUnits& units, const Label& header,
                  const QFontMetrics& metrics) {
  auto* label = new QLabel(QString::fromLatin1(header.text), dialog);
  label->setObjectName(QLatin1String(header.id));
  QRect rect = units.rect(header.x, header.y, header.width, header.height);
  // Never clip the text: Qt's fonts may run taller or wider than the grid.
  rect.setWidth(std::max(rect.width(), label->sizeHint().width()));
  rect.setHeight(std::max(rect.height(), metrics.height()));
  label->setGeometry(rect);
}

}  // namespace

int run_configuration_dialog(QWidget* status_window) {
  ConfigurationDialog dialog(status_window);
  return dialog.exec();
}

ConfigurationDialog::ConfigurationDialog(QWidget* status_window)
    : QDialog(status_window), status_window_(status_window) {
  setWindowTitle(QStringLiteral("KIV Configuration"));
  const QFontMetrics metrics = fontMetrics();
  const DialogUnits units(metrics);
  setFixedSize(units.x(DIALOG_WIDTH), units.y(DIALOG_HEIGHT));
  if (status_window != nullptr) move(status_window->mapToGlobal(QPoint(0, 0)));

  // Controls are made in the order the operator tabs through them.
  QPushButton* ok = place_button(this, "1", "OK", units.rect(7, 106, 50, 14));
  QPushButton* cancel = place_button(this, "2", "Cancel", units.rect(209, 107, 50, 14));
  place_column(this, units, NAME_COLUMN, name_);
  place_column(this, units, PORT_COLUMN, port_);
  place_column(this, units, HOST_COLUMN, host_);
  place_column(this, units, ENABLED_COLUMN, enabled_);
  for (const Label& header : HEADERS) place_header(this, units, header, metrics);
  place_column(this, units, TABLE_NAME_COLUMN, table_name_);
  place_column(this, units, REMOTE_PORT_COLUMN, remote_port_);

  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &ConfigurationDialog::use_grid);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  show_service_table();
  ok->setFocus();
}

void ConfigurationDialog::show_service_table() {
  GridRow grid[MAX_SERVICES];
  grid_of_table(grid);
  for (int i = 0; i < MAX_SERVICES; ++i) {
    host_[i]->setText(QString::fromStdString(grid[i].host));
    name_[i]->setText(QString::fromStdString(grid[i].name));
    enabled_[i]->setChecked(grid[i].enabled);
    table_name_[i]->setText(QString::fromStdString(grid[i].table_name));
    port_[i]->setText(QString::fromStdString(grid[i].port));
    remote_port_[i]->setText(QString::fromStdString(grid[i].remote_port));
  }
}

void ConfigurationDialog::use_grid() {
  GridRow grid[MAX_SERVICES];
  for (int i = 0; i < MAX_SERVICES; ++i) {
    grid[i] = GridRow{enabled_[i]->isChecked(),         name_[i]->text().toStdString(),
                      port_[i]->text().toStdString(),   remote_port_[i]->text().toStdString(),
                      host_[i]->text().toStdString(),   table_name_[i]->text().toStdString()};
  }
  kiv::use_grid(grid, whole_utf8_characters);
  QMessageBox::StandardButton answer = QMessageBox::question(
      status_window_, QStringLiteral("Do You Want to Use New Settings?"),
      QStringLiteral("You Changed KIV Settings,\nDo You Want to Use\n"
                     "New Settings Now(Yes) or Later(No)?"),
      QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
  done(answer == QMessageBox::Yes ? 1 : 0);
}

}  // namespace kiv
