// The Statistics dialog of kiv-agent.exe: each service's counters and the
// agent's uptime, refreshed every second while it is open.

#include "core/service_table.h"
#include "ui/statistics_text.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/resource_ids.h"

namespace kiv {

namespace {

constexpr UINT REFRESH_MS = 1000;
constexpr UINT_PTR TIMER_ID = 0;
bool timer_started = false;  // window thread only

void refresh(HWND dialog) {
  ServiceTable& table = service_table();
  int count = table.service_count;
  // Rows past the table stay empty.
  for (int i = 0; i < count; ++i) {
    StatisticsRow row = statistics_row(table.rows[i]);
    SetDlgItemTextA(dialog, IDC_STATS_NAME + i, row.name);
    SetDlgItemTextA(dialog, IDC_STATS_CONNECTIONS + i, row.connections);
    SetDlgItemTextA(dialog, IDC_STATS_KILOBYTES + i, row.kilobytes);
    SetDlgItemTextA(dialog, IDC_STATS_ERRORS + i, row.errors);
  }
  SetDlgItemTextA(dialog, IDC_STATS_UPTIME, serviced_for().text);
}

}  // namespace

INT_PTR CALLBACK statistics_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      timer_started = SetTimer(dialog, TIMER_ID, REFRESH_MS, nullptr) != 0;
      refresh(dialog);
      return TRUE;
    case WM_TIMER:
      refresh(dialog);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) != IDOK && LOWORD(wparam) != IDCANCEL) break;
      if (timer_started) KillTimer(dialog, TIMER_ID);
      timer_started = false;
      EndDialog(dialog, 1);
      return TRUE;
  }
  return FALSE;
}

}  // namespace kiv
