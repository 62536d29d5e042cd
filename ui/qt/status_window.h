#pragma once
// The status window of kiv-agent: one row per configured service with its
// name, port and lamp, the "KIV" / "KIV-Connected" title, and the operator's
// commands on its context menu.

#include <QWidget>

#include "ui/menu_commands.h"
#include "ui/status_view.h"

class QMenu;

namespace kiv {

/// Extra height of the client area below the last row: the rows are
/// service_count × ROW_SPACING pixels, and the last lamp reaches 14 pixels
/// into its row, one pixel past the spacing.
constexpr int STATUS_BOTTOM_MARGIN = 5;

/// StatusWindow is the agent's only top-level window, driven on the GUI
/// thread by the agent's start-up, restarts and notifications (through
/// QtWindowThread) and by the operator's menu commands. It is never
/// destroyed: worker threads may still reach the window thread while the
/// process ends.
class StatusWindow : public QWidget {
 public:
  StatusWindow();

  /// Inserts the agent's commands above "Close" on the context menu.
  void add_menu_items();
  /// Sets the client area to fit service_count rows.
  void fit_to_rows();
  /// Runs the command `id` (300 to 304); other ids do nothing.
  void on_system_command(int id);
  QMenu* context_menu() const { return menu_; }
  /// The window has been closed and the agent shut down.
  bool shut_down() const { return shut_down_; }
  /// Shuts the agent down as Close does, once the window system has gone
  /// (the desktop session ended): nothing is drawn or shown any more.
  void shut_down_without_display();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  /// Shows the menu at `place` (global) and runs the command chosen.
  void run_menu(QPoint place);

  QMenu* menu_;
  bool shut_down_ = false;  // the agent has been shut down: no command runs after it
};

/// Creates the status window at (100, 100) with the title "KIV", makes it the
/// window thread's window, runs start_agent, and shows it.
StatusWindow& create_status_window();
/// Closes the status window from any thread (the operator's stop signals),
/// as if its Close command had been chosen. A request made before the window
/// exists closes it as soon as it does.
void close_status_window();

}  // namespace kiv
