#pragma once
// The About dialog: the product and its version.

#include "ui/qt/agent_dialog.h"

namespace kiv {

/// AboutDialog shows five centred lines naming the product and its version,
/// and an OK button (object name "1").
class AboutDialog : public AgentDialog {
 public:
  explicit AboutDialog(QWidget* status_window);
};

/// Opens the About dialog modally over the status window.
void run_about_dialog(QWidget* status_window);

}  // namespace kiv
