// kiv-agent: the agent with its status window. Reads kiv.cnf in the working
// directory; closing the window (or SIGINT / SIGTERM) ends it.

#include <QApplication>
#include <QIcon>

#include <cstdlib>

#include "core/lifecycle.h"
#include "platform/signals.h"
#include "ui/qt/qt_window_thread.h"
#include "ui/qt/status_window.h"

namespace {

/// The stop signals close the window; its configuration is changed in its
/// own dialog, so a reload request is left unanswered.
void on_operator_signal(kiv::OperatorSignal signal) {
  if (signal == kiv::OperatorSignal::Stop) kiv::close_status_window();
}

}  // namespace

int main(int argc, char* argv[]) {
  kiv::take_start_time();
  kiv::watch_operator_signals(on_operator_signal);
  QApplication application(argc, argv);
  // The icon and the desktop entry of the application menu are one.
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/kiv-agent.svg")));
  QApplication::setDesktopFileName(QStringLiteral("kiv-agent"));
  // Only closing the status window ends the agent, not closing the last
  // window shown (a start-up warning is shown before the status window).
  QApplication::setQuitOnLastWindowClosed(false);
  kiv::create_status_window();
  int exit_code = kiv::qt_window_thread().run_event_loop();
  // The log is flushed; worker threads still run and may be waiting on the
  // window thread, so the process ends here without tearing anything down.
  std::_Exit(exit_code);
}
