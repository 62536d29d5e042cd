#include "ui/about_dialog.h"

#include <QDialog>

namespace kiv {

void run_about_dialog(QWidget* status_window) {
  QDialog dialog(status_window);
  dialog.setWindowTitle("About KIV Agent");
  dialog.exec();
}

}  // namespace kiv
