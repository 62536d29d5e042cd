#include "ui/qt/agent_dialog.h"

#include <QFontMetricsF>
#include <QKeyEvent>

#include <cmath>

namespace kiv {

AgentDialog::AgentDialog(QWidget* status_window, const char* caption, QPoint place, QSize size)
    : QDialog(status_window) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(caption);
  QFontMetricsF metrics(font());
  pixels_across_ =
      metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52 / 4;
  pixels_down_ = metrics.height() / 8;
  QRect frame = units(place.x(), place.y(), size.width(), size.height());
  setFixedSize(frame.size());
  if (status_window != nullptr) move(status_window->mapToGlobal(frame.topLeft()));
}

QRect AgentDialog::units(int x, int y, int width, int height) const {
  return QRect(static_cast<int>(std::lround(x * pixels_across_)),
               static_cast<int>(std::lround(y * pixels_down_)),
               static_cast<int>(std::lround(width * pixels_across_)),
               static_cast<int>(std::lround(height * pixels_down_)));
}

void AgentDialog::done(int) { QDialog::done(1); }

void AgentDialog::keyPressEvent(QKeyEvent* event) {
  // Enter closes the dialog whether or not it has a default button.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace kiv
