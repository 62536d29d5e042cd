#include "ui/qt/statistics_dialog.h"

#include <QLabel>
#include <QLineEdit>

#include "ui/statistics_text.h"

namespace kiv {

namespace {

constexpr int kRefreshMs = 1000;
constexpr int kServiceRowY[MAX_SERVICES] = {37, 55, 69, 86, 102};
constexpr int kCounterRowY[MAX_SERVICES] = {37, 54, 69, 86, 102};

void add_label(AgentDialog* dialog, const char* text, QRect place, const char* id = nullptr) {
  auto* label = new QLabel(text, dialog);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setGeometry(place);
  if (id != nullptr) label->setObjectName(id);
}

QLineEdit* add_field(AgentDialog* dialog, int id, QRect place) {
  auto* field = new QLineEdit(dialog);
  field->setObjectName(QString::number(id));
  field->setReadOnly(true);
  field->setGeometry(place);
  return field;
}

void set_text(QLineEdit* field, const char* text) { field->setText(QString::fromUtf8(text)); }

}  // namespace

StatisticsDialog::StatisticsDialog(QWidget* status_window)
    : AgentDialog(status_window, "KIV Statistics", QPoint(0, 0), QSize(262, 124)) {
  add_label(this, "Serviced for", units(12, 7, 46, 12));
  uptime_ = add_field(this, 1023, units(58, 6, 193, 13));
  uptime_->setFrame(false);
  uptime_->setStyleSheet("background: transparent");
  add_label(this, "Service", units(9, 23, 29, 7), "1021");
  add_label(this, "Conn", units(57, 23, 29, 7), "1022");
  add_label(this, "Read/Write KB", units(96, 23, 51, 8));
  add_label(this, "Errors C/T/O", units(169, 22, 42, 7));
  for (int i = 0; i < MAX_SERVICES; ++i) {
    names_[i] = add_field(this, 1000 + i, units(7, kServiceRowY[i], 40, 12));
    connections_[i] = add_field(this, 1005 + i, units(55, kCounterRowY[i], 30, 12));
    kilobytes_[i] = add_field(this, 1010 + i, units(93, kCounterRowY[i], 67, 12));
    errors_[i] = add_field(this, 1015 + i, units(167, kCounterRowY[i], 77, 12));
  }
  connect(&timer_, &QTimer::timeout, this, &StatisticsDialog::refresh);
  timer_.start(kRefreshMs);
  refresh();
}

void StatisticsDialog::refresh() {
  ServiceTable& table = service_table();
  int count = table.service_count;
  for (int i = 0; i < count; ++i) {
    StatisticsRow row = statistics_row(table.rows[i]);
    set_text(names_[i], row.name);
    set_text(connections_[i], row.connections);
    set_text(kilobytes_[i], row.kilobytes);
    set_text(errors_[i], row.errors);
  }
  set_text(uptime_, serviced_for().text);
}

void StatisticsDialog::done(int result) {
  timer_.stop();
  AgentDialog::done(result);
}

void run_statistics_dialog(QWidget* status_window) {
  StatisticsDialog dialog(status_window);
  dialog.exec();
}

}  // namespace kiv
