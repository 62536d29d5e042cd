#include "ui/win32/refreshing_dialog.h"

namespace kiv {

namespace {

constexpr UINT_PTR TIMER_ID = 1;

}  // namespace

INT_PTR handle_refreshing_dialog(HWND dialog, UINT message, WPARAM wparam, UINT refresh_ms,
                                 void (*fill)(HWND), void (*closing)()) {
  switch (message) {
    case WM_INITDIALOG:
      SetTimer(dialog, TIMER_ID, refresh_ms, nullptr);
      fill(dialog);
      return TRUE;
    case WM_TIMER:
      fill(dialog);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) != IDOK && LOWORD(wparam) != IDCANCEL) break;
      // A timer that could not be started is no harm to kill.
      KillTimer(dialog, TIMER_ID);
      if (closing != nullptr) closing();
      EndDialog(dialog, 1);
      return TRUE;
  }
  return FALSE;
}

}  // namespace kiv
