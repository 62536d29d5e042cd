// kiv-agentd: the agent without a window, for servers, scripts and tests.
// Reads kiv.cnf in the working directory, echoes every log line to standard
// error, reloads kiv.cnf on SIGHUP and closes on SIGINT or SIGTERM. On
// Windows it also registers itself as the service kiv-agentd and serves
// under the service manager, where a stop closes it and "parameters changed"
// reloads kiv.cnf.

#include "core/config_file.h"
#include "core/event_log.h"
#include "core/headless_window.h"
#include "agent/lifecycle.h"
#include "platform/no_destructor.h"
#include "platform/files.h"
#include "platform/service_host.h"
#include "platform/signals.h"

namespace {

/// The headless window thread, whose warnings also go to the system's log:
/// a service has no console to print them on.
class AgentdWindow : public kiv::HeadlessWindow {
 public:
  void show_warning(const char* text) override {
    kiv::HeadlessWindow::show_warning(text);
    kiv::report_error_event(text);
  }
};

AgentdWindow& headless_window() {
  static kiv::NoDestructor<AgentdWindow> window;
  return *window;
}

void reload_configuration() {
  kiv::load_service_table();
  kiv::after_configuration(1);
}

void on_operator_signal(kiv::OperatorSignal signal) {
  headless_window().post(signal == kiv::OperatorSignal::Reload ? reload_configuration
                                                                : kiv::shutdown_agent);
}

int run_agent() {
  kiv::set_log_echo(kiv::write_standard_error_line);
  kiv::start_agent();
  return headless_window().run_event_loop();
}

}  // namespace

int main(int argc, char** argv) {
  kiv::take_start_time();
  // Made here, on the thread that runs the agent, before any signal or
  // service control can reach it.
  kiv::install_window_thread(&headless_window());
  if (argc > 1) {
    int exit_code = kiv::run_service_command(argc, argv, {run_agent, on_operator_signal});
    if (exit_code >= 0) return exit_code;
    kiv::write_standard_error_line(kiv::agentd_usage());
    return 2;
  }
  kiv::watch_operator_signals(on_operator_signal);
  return run_agent();
}
