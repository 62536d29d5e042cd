#include "platform/signals.h"

#include <windows.h>

namespace kiv {

namespace {

void (*stop_callback)(OperatorSignal) = nullptr;

// Runs on a thread that the system starts for each console event.
BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      stop_callback(OperatorSignal::Stop);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The system ends the process as soon as this returns: wait here
      // until the agent's own close has flushed the log and exited.
      stop_callback(OperatorSignal::Stop);
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void watch_operator_signals(void (*on_signal)(OperatorSignal)) {
  stop_callback = on_signal;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace kiv
