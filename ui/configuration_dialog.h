#pragma once
// The Configuration dialog: the operator edits the service rows.

class QWidget;

namespace kiv {

/// Opens the Configuration dialog modally over the status window; returns 1
/// when the new settings are to be used now, else 0.
int run_configuration_dialog(QWidget* status_window);

}  // namespace kiv
