#pragma once
// The dialog procedures of kiv-agent.exe, for the templates of its resources.

#include <windows.h>

namespace kiv {

/// Template IDD_CONFIGURATION: ends with 1 when the new settings are to be used now.
INT_PTR CALLBACK configuration_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
/// Template IDD_STATISTICS: counters and uptime, refreshed every second.
INT_PTR CALLBACK statistics_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
/// Template IDD_LOG: the event log, refreshed every five seconds.
INT_PTR CALLBACK log_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
/// Template IDD_ABOUT.
INT_PTR CALLBACK about_dialog(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace kiv
