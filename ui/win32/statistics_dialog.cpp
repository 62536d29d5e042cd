// The Statistics dialog of kiv-agent.exe: each service's counters and the
// agent's uptime, refreshed every second while it is open.

#include "core/service_table.h"
#include "ui/statistics_text.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/refreshing_dialog.h"
#include "ui/win32/resource_ids.h"

namespace kiv {

namespace {

constexpr UINT REFRESH_MS = 1000;

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
  return handle_refreshing_dialog(dialog, message, wparam, REFRESH_MS, refresh);
}

}  // namespace kiv
