// kiv-agent.exe: the agent with its status window, on Windows. Reads kiv.cnf
// in the working folder; closing the window ends it. Started with the option
// --user-folder (the Start menu entry), it works in the operator's own folder.

#include <windows.h>

#include <cstdlib>
#include <string>

#include "agent/lifecycle.h"
#include "platform/files.h"
#include "platform/user_folder.h"
#include "ui/agent_arguments.h"
#include "ui/win32/status_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
  kiv::take_start_time();
  kiv::AgentStart start = kiv::agent_start(__argc, __argv);
  if (start == kiv::AgentStart::Usage) {
    const char* usage = "usage: kiv-agent.exe [--user-folder]";
    // Started from a console or a script, it says so there; started otherwise, in a box.
    if (GetStdHandle(STD_ERROR_HANDLE) != nullptr) {
      kiv::write_standard_error_line(usage);
    } else {
      MessageBoxA(nullptr, usage, "KIV Agent", MB_OK | MB_ICONINFORMATION);
    }
    return 2;
  }
  if (start == kiv::AgentStart::UserFolder) {
    std::string failure = kiv::enter_user_folder();
    if (!failure.empty()) {
      MessageBoxA(nullptr, failure.c_str(), "KIV Error", MB_OK | MB_ICONWARNING);
      return 1;
    }
  }
  if (!kiv::register_status_class(instance)) return 0;
  if (!kiv::create_status_window(show_command)) return 0;
  int exit_code = kiv::run_event_loop();
  // The log is flushed; the event loops and lookup threads still run, so the
  // process ends here without tearing anything down under them.
  std::_Exit(exit_code);
}
