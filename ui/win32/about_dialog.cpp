// The About box of kiv-agent.exe: the product and its version, all in its template.

#include "ui/win32/dialogs.h"

namespace kiv {

INT_PTR CALLBACK about_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) != IDOK && LOWORD(wparam) != IDCANCEL) break;
      EndDialog(dialog, 1);
      return TRUE;
  }
  return FALSE;
}

}  // namespace kiv
