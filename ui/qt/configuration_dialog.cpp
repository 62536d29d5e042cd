#include "ui/qt/configuration_dialog.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <cstdint>

#include "core/config_file.h"

namespace kiv {

namespace {

// The grid takes table names one character shorter than the field holds.
constexpr int TABLE_NAME_TAKEN = TABLE_NAME_CAPACITY - 1;

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

// The text of an edit as the bytes of a field of at most `limit` characters:
// UTF-8, cut without splitting a character.
QByteArray taken_text(const QLineEdit* edit, int limit) {
  QByteArray text = edit->text().toUtf8();
  if (text.size() <= limit) return text;
  int end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.left(end);
}

// A port edit holds a number when its text, blanks around it aside, is
// decimal digits of a value below 2^32; the port is that value modulo 65536.
bool read_port(const QLineEdit* edit, uint16_t& port) {
  QString text = edit->text().trimmed();
  if (text.isEmpty()) return false;
  uint64_t value = 0;
  for (QChar c : text) {
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c.unicode() - u'0');
    if (value > UINT32_MAX) return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
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
  ServiceTable& table = service_table();
  int count = table.service_count;
  for (int i = 0; i < count; ++i) {
    ServiceConfig row = table.rows[i].config();
    host_[i]->setText(QString::fromUtf8(row.host));
    name_[i]->setText(QString::fromUtf8(row.name));
    enabled_[i]->setChecked(row.enabled != 0);
    table_name_[i]->setText(QString::fromUtf8(row.table_name));
    port_[i]->setText(QString::number(row.port));
    remote_port_[i]->setText(QString::number(row.remote_port));
  }
}

void ConfigurationDialog::use_grid() {
  take_grid();
  save_service_table();
  QMessageBox::StandardButton answer = QMessageBox::question(
      status_window_, QStringLiteral("Do You Want to Use New Settings?"),
      QStringLiteral("You Changed KIV Settings,\nDo You Want to Use\n"
                     "New Settings Now(Yes) or Later(No)?"),
      QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
  done(answer == QMessageBox::Yes ? 1 : 0);
}

void ConfigurationDialog::take_grid() {
  // Read whole before anything is published: service threads read their rows
  // and the count meanwhile, and must see the old table or the new one.
  ServiceConfig rows[MAX_SERVICES] = {};
  int count = 0;
  for (int i = 0; i < MAX_SERVICES; ++i) {
    ServiceConfig& row = rows[i];
    copy_field(row.host, taken_text(host_[i], HOST_CAPACITY).constData());
    copy_field(row.name, taken_text(name_[i], NAME_CAPACITY).constData());
    row.enabled = enabled_[i]->isChecked() ? 1 : 0;
    copy_field(row.table_name, taken_text(table_name_[i], TABLE_NAME_TAKEN).constData());
    if (!read_port(port_[i], row.port) || row.port == 0) {
      row.port = 0;
      row.enabled = 0;
    }
    if (!read_port(remote_port_[i], row.remote_port) || row.remote_port == 0) {
      row.remote_port = row.port;
    }
    bool no_name = row.name[0] == '\0';
    bool no_host = row.host[0] == '\0';
    if (no_host) row.enabled = 0;
    // The first row with neither name nor host ends the list, whatever the
    // rows below it hold.
    if (no_name && no_host) break;
    row.row_y = static_cast<int16_t>(i * ROW_SPACING);
    count = i + 1;
  }
  publish_service_rows(rows, count);
}

}  // namespace kiv
