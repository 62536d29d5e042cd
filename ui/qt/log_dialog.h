#pragma once
// The Log dialog: the lines of the event log, as they are held in memory.

#include <QTimer>

#include "ui/qt/agent_dialog.h"
#include "ui/log_view.h"

class QPlainTextEdit;

namespace kiv {

/// LogDialog shows the event log's lines in a read-only text box (object
/// name "1000"), rebuilt every five seconds while open when the log holds
/// more lines than it shows. A rebuild keeps the place the operator reads
/// and the text selected; a view scrolled to the end follows the end.
class LogDialog : public AgentDialog {
 public:
  explicit LogDialog(QWidget* status_window);
  /// Rebuilds the text if the log holds more lines than are shown.
  void refresh();
  void done(int result) override;

 private:
  /// Puts the rebuilt `text` in place of the old.
  void show_text(const QString& text);

  QPlainTextEdit* text_box_;
  LogView view_;
  QTimer timer_;
};

/// Opens the Log dialog modally over the status window.
void run_log_dialog(QWidget* status_window);

}  // namespace kiv
