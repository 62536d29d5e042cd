#pragma once
// The Configuration dialog, the operator's way to change the services.

#include <QDialog>

#include "core/service_table.h"

class QCheckBox;
class QLineEdit;

namespace kiv {

/// Opens the Configuration dialog modally over the status window; returns 1
/// when the new settings are to be used now, else 0.
int run_configuration_dialog(QWidget* status_window);

/// ConfigurationDialog is the "KIV Configuration" dialog: a grid of the five
/// service rows that shows the service table when it opens and, on OK, makes
/// the grid the new table, saves it to kiv.cnf and asks the operator, in a
/// box owned by the status window, whether to use it now. It ends with 1 for
/// "now" and 0 for "later"; Cancel, Escape and closing it end it with 0 and
/// change nothing. Every control is named by its control id.
class ConfigurationDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ConfigurationDialog(QWidget* status_window);

 private:
  void show_service_table();
  /// The OK button: takes the grid, saves it, asks, and ends the dialog.
  void use_grid();

  QWidget* status_window_;
  QCheckBox* enabled_[MAX_SERVICES];
  QLineEdit* name_[MAX_SERVICES];
  QLineEdit* port_[MAX_SERVICES];
  QLineEdit* remote_port_[MAX_SERVICES];
  QLineEdit* host_[MAX_SERVICES];
  QLineEdit* table_name_[MAX_SERVICES];
};

}  // namespace kiv
