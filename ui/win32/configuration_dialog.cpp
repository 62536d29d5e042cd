// The Configuration dialog of kiv-agent.exe: the grid of the five service
// rows, shown from the table and, on OK, made the table and saved.

#include <string>

#include "ui/configuration_grid.h"
#include "ui/win32/dialog_text.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/status_window.h"

namespace kiv {

namespace {

void show_grid(HWND dialog) {
  ServiceTable& table = service_table();
  GridRow grid[MAX_SERVICES];
  grid_of_table(grid);
  // Rows past the table stay as the template makes them.
  for (int i = 0; i < table.service_count; ++i) {
    SetDlgItemTextA(dialog, IDC_CONFIG_HOST + i, grid[i].host.c_str());
    SetDlgItemTextA(dialog, IDC_CONFIG_NAME + i, grid[i].name.c_str());
    CheckDlgButton(dialog, IDC_CONFIG_ENABLED + i, grid[i].enabled ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemTextA(dialog, IDC_CONFIG_TABLE + i, grid[i].table_name.c_str());
    SetDlgItemTextA(dialog, IDC_CONFIG_PORT + i, grid[i].port.c_str());
    SetDlgItemTextA(dialog, IDC_CONFIG_REMOTE_PORT + i, grid[i].remote_port.c_str());
  }
}

/// OK: the grid becomes the table and kiv.cnf; the answer to the question
/// is the dialog's result.
void use_typed_grid(HWND dialog) {
  GridRow grid[MAX_SERVICES];
  for (int i = 0; i < MAX_SERVICES; ++i) {
    grid[i] = GridRow{IsDlgButtonChecked(dialog, IDC_CONFIG_ENABLED + i) == BST_CHECKED,
                      dialog_text(dialog, IDC_CONFIG_NAME + i),
                      dialog_text(dialog, IDC_CONFIG_PORT + i),
                      dialog_text(dialog, IDC_CONFIG_REMOTE_PORT + i),
                      dialog_text(dialog, IDC_CONFIG_HOST + i),
                      dialog_text(dialog, IDC_CONFIG_TABLE + i)};
  }
  use_grid(grid, whole_ansi_characters);
  // The box, owned by the status window, disables only that window: the
  // dialog is disabled too, so that nothing (Cancel, a second OK) can be
  // chosen under the question and then be overridden by its answer.
  EnableWindow(dialog, FALSE);
  int answer = MessageBoxA(status_window(),
                           "You Changed KIV Settings,\nDo You Want to Use\n"
                           "New Settings Now(Yes) or Later(No)?",
                           "Do You Want to Use New Settings?", MB_YESNO | MB_ICONQUESTION);
  EnableWindow(dialog, TRUE);
  EndDialog(dialog, answer == IDYES ? 1 : 0);
}

}  // namespace

INT_PTR CALLBACK configuration_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      show_grid(dialog);
      SetFocus(GetDlgItem(dialog, IDOK));
      return FALSE;  // the focus is set
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
          use_typed_grid(dialog);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, 0);
          return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace kiv
