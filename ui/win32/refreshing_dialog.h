#pragma once
// Dialogs of kiv-agent.exe that show what changes while they are open,
// filled again on a timer until OK or Cancel ends them.

#include <windows.h>

namespace kiv {

/// Handles `message` for such a dialog: fills it and starts its timer on
/// WM_INITDIALOG, fills it again every `refresh_ms`, and on OK or Cancel
/// stops the timer, calls `closing` (if any) and ends the dialog with 1.
/// Returns what the dialog procedure returns.
INT_PTR handle_refreshing_dialog(HWND dialog, UINT message, WPARAM wparam, UINT refresh_ms,
                                 void (*fill)(HWND), void (*closing)() = nullptr);

}  // namespace kiv
