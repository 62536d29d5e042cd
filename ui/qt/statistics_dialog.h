#pragma once
// The Statistics dialog: each service's counters and the agent's uptime.

#include <QTimer>

#include "core/service_table.h"
#include "ui/qt/agent_dialog.h"

class QLineEdit;

namespace kiv {

/// StatisticsDialog shows, for each configured service, its name, its
/// connections, the kilobytes read and written and its C/T/O error counters,
/// and the time the agent has served, refreshed every second while open.
/// Rows past service_count stay empty. Controls carry their ids as object
/// names: uptime 1023, rows 1000 + i, 1005 + i, 1010 + i, 1015 + i.
class StatisticsDialog : public AgentDialog {
 public:
  explicit StatisticsDialog(QWidget* status_window);
  /// Writes every field of the configured rows and the uptime.
  void refresh();
  void done(int result) override;

 private:
  QLineEdit* uptime_;
  QLineEdit* names_[MAX_SERVICES];
  QLineEdit* connections_[MAX_SERVICES];
  QLineEdit* kilobytes_[MAX_SERVICES];
  QLineEdit* errors_[MAX_SERVICES];
  QTimer timer_;
};

/// Opens the Statistics dialog modally over the status window.
void run_statistics_dialog(QWidget* status_window);

}  // namespace kiv
