#include "ui/qt/log_dialog.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>

namespace kiv {

namespace {

constexpr int kRefreshMs = 5000;

}  // namespace

LogDialog::LogDialog(QWidget* status_window)
    : AgentDialog(status_window, "KIV Log", QPoint(0, 0), QSize(302, 122)),
      text_box_(new QPlainTextEdit(this)) {
  text_box_->setObjectName("1000");
  text_box_->setReadOnly(true);
  // Read-only text takes no keys by default: the reader's keys move and
  // select as in any text (Ctrl+Home and Ctrl+End to the ends, Ctrl+C).
  text_box_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  text_box_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  text_box_->setGeometry(units(3, 1, 295, 116));
  connect(&timer_, &QTimer::timeout, this, &LogDialog::refresh);
  timer_.start(kRefreshMs);
  refresh();
}

void LogDialog::show_text(const QString& text) {
  // New text would show from its top with nothing selected: the operator
  // keeps the line they read and what they selected (while the same text
  // stands there: a flush empties the log), and a view at the end follows
  // the end.
  QScrollBar* bar = text_box_->verticalScrollBar();
  int place = bar->value();
  // The view is at the end when it shows the last line (the text ends with a
  // line break, so an empty line follows it).
  QPoint bottom(0, text_box_->viewport()->height() - 1);
  bool at_end = text_box_->cursorForPosition(bottom).blockNumber() >=
                text_box_->document()->blockCount() - 2;
  QTextCursor cursor = text_box_->textCursor();
  QString selected = cursor.selectedText();
  int anchor = cursor.anchor();
  int position = cursor.position();
  text_box_->setPlainText(text);
  if (std::max(anchor, position) < text_box_->document()->characterCount()) {
    QTextCursor kept(text_box_->document());
    kept.setPosition(anchor);
    kept.setPosition(position, QTextCursor::KeepAnchor);
    if (kept.selectedText() == selected) text_box_->setTextCursor(kept);
  }
  bar->setValue(at_end ? bar->maximum() : place);
}

void LogDialog::refresh() {
  switch (view_.refresh()) {
    case LogView::Refresh::Unchanged:
      break;
    case LogView::Refresh::Rebuilt:
      show_text(QString::fromLocal8Bit(view_.text()));
      break;
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
