// kiv-agent: the agent with its status window. Reads kiv.cnf in the working
// directory; closing the window (or SIGINT / SIGTERM) ends it. Started with
// the option --user-folder (the desktop's menu entry), it works in the
// operator's own folder.

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/lifecycle.h"
#include "platform/files.h"
#include "platform/signals.h"
#include "platform/user_folder.h"
#include "ui/agent_arguments.h"
#include "ui/qt/qt_window_thread.h"
#include "ui/qt/status_window.h"

namespace {

QtMessageHandler qt_default_messages = nullptr;

/// Qt gives up while starting when no window system can be reached (no
/// display, or none that answers) and would abort with its own words; the
/// operator is told instead what kiv-agent needs and what runs without it.
void on_start_up_message(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    qt_default_messages(type, context, text);
    return;
  }
  fputs("kiv-agent: no display to open the status window on. kiv-agent needs a display;\n"
        "on a machine without one, run kiv-agentd, the same agent without a window.\n",
        stderr);
  std::_Exit(EXIT_FAILURE);
}

/// The stop signals close the window; its configuration is changed in its
/// own dialog, so a reload request is left unanswered.
void on_operator_signal(kiv::OperatorSignal signal) {
  if (signal == kiv::OperatorSignal::Stop) kiv::close_status_window();
}

}  // namespace

int main(int argc, char* argv[]) {
  kiv::take_start_time();
  kiv::AgentStart start = kiv::agent_start(argc, argv);
  if (start == kiv::AgentStart::Usage) {
    kiv::write_standard_error_line("usage: kiv-agent [--user-folder]");
    return 2;
  }
  kiv::watch_operator_signals(on_operator_signal);
  qt_default_messages = qInstallMessageHandler(on_start_up_message);
  QApplication application(argc, argv);
  qInstallMessageHandler(qt_default_messages);
  if (start == kiv::AgentStart::UserFolder) {
    std::string failure = kiv::enter_user_folder();
    if (!failure.empty()) {
      QMessageBox::warning(nullptr, "KIV Error", QString::fromStdString(failure));
      return 1;
    }
  }
  // The icon and the desktop entry of the application menu are one.
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/kiv-agent.svg")));
  QApplication::setDesktopFileName(QStringLiteral("kiv-agent"));
  // Only closing the status window ends the agent, not closing the last
  // window shown (a start-up warning is shown before the status window).
  QApplication::setQuitOnLastWindowClosed(false);
  kiv::create_status_window();
  int exit_code = kiv::qt_window_thread().run_event_loop();
  // The log is flushed; the event loops and lookup threads still run, so the
  // process ends here without tearing anything down under them.
  std::_Exit(exit_code);
}
