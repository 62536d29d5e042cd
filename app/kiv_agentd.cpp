// kiv-agentd: the agent without a window, for servers, scripts and tests.
// Reads kiv.cnf in the working directory, echoes every log line to standard
// error, reloads kiv.cnf on SIGHUP and closes on SIGINT or SIGTERM.

#include "core/config_file.h"
#include "core/event_log.h"
#include "core/headless_window.h"
#include "agent/lifecycle.h"
#include "platform/no_destructor.h"
#include "platform/files.h"
#include "platform/signals.h"

namespace {

kiv::HeadlessWindow& headless_window() {
  static kiv::NoDestructor<kiv::HeadlessWindow> window;
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

}  // namespace

int main() {
  kiv::take_start_time();
  kiv::watch_operator_signals(on_operator_signal);
  kiv::install_window_thread(&headless_window());
  kiv::set_log_echo(kiv::write_standard_error_line);
  kiv::start_agent();
  return headless_window().run_event_loop();
}
