#include "ui/statistics_dialog.h"

#include <QDialog>

namespace kiv {

void run_statistics_dialog(QWidget* status_window) {
  QDialog dialog(status_window);
  dialog.setWindowTitle("KIV Statistics");
  dialog.exec();
}

}  // namespace kiv
