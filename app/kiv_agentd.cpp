// kiv-agentd: the agent without a window, for servers, scripts and tests.
// Reads kiv.cnf in the working directory, echoes every log line to standard
// error, reloads kiv.cnf on SIGHUP and closes on SIGINT or SIGTERM. On
// Windows it also registers itself as the service kiv-agentd and serves
// under the service manager, where a stop closes it, "parameters changed"
// reloads kiv.cnf, the log reaches kiv.log every second and its faults go to
// the system's log.

#include <atomic>
#include <cstring>

#include "core/config_file.h"
#include "core/event_log.h"
#include "core/headless_window.h"
#include "core/timestamp.h"
#include "agent/lifecycle.h"
#include "agent/service_faults.h"
#include "platform/no_destructor.h"
#include "platform/files.h"
#include "platform/service_host.h"
#include "platform/signals.h"

namespace {

// Set once the agent runs as a service: its faults are then collected for the system's log.
std::atomic<bool> serving{false};

kiv::ServiceFaults& service_faults() {
  static kiv::NoDestructor<kiv::ServiceFaults> faults;
  return *faults;
}

/// The headless window thread, whose warnings a service also reports to the
/// system's log: it has no console to print them on.
class AgentdWindow : public kiv::HeadlessWindow {
 public:
  void show_warning(const char* text) override {
    kiv::HeadlessWindow::show_warning(text);
    if (serving) service_faults().warning_shown(text);
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

// A logged line as a service sees it: echoed, and looked at for a fault.
bool echo_served_line(const char* line) {
  // The timestamp and ": " stand before the text.
  if (std::strlen(line) > kiv::TIMESTAMP_LENGTH + 2) {
    service_faults().line_logged(line + kiv::TIMESTAMP_LENGTH + 2);
  }
  return kiv::write_standard_error_line(line);
}

int run_served_agent() {
  serving = true;
  kiv::set_log_echo(echo_served_line);
  kiv::start_agent();
  return headless_window().run_event_loop();
}

void report_service_faults() {
  kiv::flush_event_log();
  for (const kiv::ServiceFault& fault : service_faults().take()) {
    kiv::report_service_event(fault.event, fault.insert.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  kiv::take_start_time();
  // Made here, on the thread that runs the agent, before any signal or
  // service control can reach it.
  kiv::install_window_thread(&headless_window());
  if (argc > 1) {
    int exit_code = kiv::run_service_command(
        argc, argv, {run_served_agent, on_operator_signal, report_service_faults});
    if (exit_code >= 0) return exit_code;
    kiv::write_standard_error_line(kiv::agentd_usage());
    return 2;
  }
  kiv::watch_operator_signals(on_operator_signal);
  return run_agent();
}
