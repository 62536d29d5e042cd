#pragma once
// The status window of kiv-agent.exe: a native Win32 window of class
// KIVClass with one row per configured service, its lamps, the "KIV" /
// "KIV-Connected" title and the operator's commands on its system menu.

#include <windows.h>

namespace kiv {

/// Registers KIVClass for `instance`; false if it can't be.
bool register_status_class(HINSTANCE instance);
/// Creates the status window at (100, 100), which starts the agent, then
/// shows it with `show_command` and paints it; false if it can't be made.
/// Until the window is destroyed it is the window thread of the agent: the
/// workers' notifications reach its procedure as WM_COMMAND messages posted
/// to it, and their warnings are message boxes that it owns.
bool create_status_window(int show_command);
/// Runs the thread's event loop until the window has been destroyed;
/// returns the loop's exit code.
int run_event_loop();
/// The status window, or null before it is created.
HWND status_window();
/// The font of the window's rows: fixed-pitch, 11 pixels high, so that the
/// widest row, "WWWWW (65535)", ends before its lamp.
HFONT status_row_font();

}  // namespace kiv
