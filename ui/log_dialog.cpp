#include "ui/log_dialog.h"

#include <QDialog>

namespace kiv {

void run_log_dialog(QWidget* status_window) {
  QDialog dialog(status_window);
  dialog.setWindowTitle("KIV Log");
  dialog.exec();
}

}  // namespace kiv
