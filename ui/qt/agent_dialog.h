#pragma once
// The common frame of the Statistics, Log and About dialogs.

#include <QDialog>

namespace kiv {

/// AgentDialog is a fixed-size dialog modal to the status window, laid out
/// in dialog units (a quarter of its font's average character width across,
/// an eighth of its line height down), placed at a point of the status
/// window's client area, and ended with result 1 by Enter, Escape or its
/// close button. Each dialog places its controls with units().
class AgentDialog : public QDialog {
 public:
  /// `place` and `size` are in dialog units; `status_window` may be null.
  AgentDialog(QWidget* status_window, const char* caption, QPoint place, QSize size);

  /// The pixel rectangle of a rectangle given in dialog units.
  QRect units(int x, int y, int width, int height) const;
  /// Every way out of the dialog ends it with result 1.
  void done(int result) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  double pixels_across_;  // per dialog unit
  double pixels_down_;    // per dialog unit
};

}  // namespace kiv
