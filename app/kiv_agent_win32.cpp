// kiv-agent.exe: the agent with its status window, on Windows. Reads kiv.cnf
// in the working folder; closing the window ends it.

#include <windows.h>

#include <cstdlib>

#include "agent/lifecycle.h"
#include "ui/win32/status_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
  kiv::take_start_time();
  if (!kiv::register_status_class(instance)) return 0;
  if (!kiv::create_status_window(show_command)) return 0;
  int exit_code = kiv::run_event_loop();
  // The log is flushed; worker threads still run and may be waiting on the
  // window thread, so the process ends here without tearing anything down.
  std::_Exit(exit_code);
}
