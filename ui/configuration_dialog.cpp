#include "ui/configuration_dialog.h"

#include <QDialog>

namespace kiv {

int run_configuration_dialog(QWidget* status_window) {
  QDialog dialog(status_window);
  dialog.setWindowTitle("KIV Configuration");
  dialog.exec();
  return 0;
}

}  // namespace kiv
