#include "ui/qt/log_dialog.h"

#include <QPlainTextEdit>
#include <QScrollBar>

namespace kiv {

namespace {

constexpr int kRefreshMs = 5000;

}  // namespace

LogDialog::LogDialog(QWidget* status_window)
    : AgentDialog(status_window, "KIV Log", QPoint(0, 0), QSize(302, 122)),
      text_box_(new QPlainTextEdit(this)) {
  text_box_->setObjectName("1000");
  text_box_->setReadOnly(true);
  text_box_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  text_box_->setGeometry(units(3, 1, 295, 116));
  connect(&timer_, &QTimer::timeout, this, &LogDialog::refresh);
  timer_.start(kRefreshMs);
  refresh();
}

void LogDialog::refresh() {
  switch (view_.refresh()) {
    case LogView::Refresh::Unchanged:
      break;
    case LogView::Refresh::Rebuilt: {
      // New text would show from its top: the operator keeps the line they
      // read, and a view at the end follows the end.
      QScrollBar* bar = text_box_->verticalScrollBar();
      int place = bar->value();
      bool at_end = place == bar->maximum();
      text_box_->setPlainText(QString::fromLocal8Bit(view_.text()));
      bar->setValue(at_end ? bar->maximum() : place);
      break;
    }
    case LogView::Refresh::OutOfMemory:
      text_box_->setPlainText("No enough memory to display Log");
      break;
  }
}

void LogDialog::done(int result) {
  timer_.stop();
  view_.clear();
  AgentDialog::done(result);
}

void run_log_dialog(QWidget* status_window) {
  LogDialog dialog(status_window);
  dialog.exec();
}

}  // namespace kiv
