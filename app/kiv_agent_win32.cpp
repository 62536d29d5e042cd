// kiv-agent.exe: the agent with its status window, on Windows. Reads kiv.cnf
// in the working folder; closing the window ends it. Started with the option
// --user-folder (the Start menu entry), it works in the operator's own folder.

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "agent/lifecycle.h"
#include "platform/user_folder.h"
#include "ui/win32/status_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int show_command) {
  kiv::take_start_time();
  if (std::strcmp(command_line, "--user-folder") == 0 && !kiv::enter_user_folder()) return 1;
  if (!kiv::register_status_class(instance)) return 0;
  if (!kiv::create_status_window(show_command)) return 0;
  int exit_code = kiv::run_event_loop();
  // The log is flushed; the event loops and lookup threads still run, so the
  // process ends here without tearing anything down under them.
  std::_Exit(exit_code);
}
