#include "agent/lifecycle.h"

#include <cstring>

#include "control/control_port.h"
#include "core/access_rules.h"
#include "core/config_file.h"
#include "core/event_log.h"
#include "core/service_table.h"
#include "core/window_thread.h"
#include "forward/conversion_tables.h"
#include "forward/engine.h"
#include "forward/forwarding.h"
#include "platform/socket.h"

namespace kiv {

namespace {

void start_sockets_once() {
  static bool started = false;
  if (started) return;
  started = true;
  int error = start_sockets();
  if (error != 0) {
    char message[MESSAGE_SIZE];
    log_message(message, "Can't init sockets: %d", error);
    show_warning(message);
  }
}

// The engine every service runs on, started once for the process and never
// ended: relays may still run on it while the process ends.
Engine& engine() {
  static Engine* engine = nullptr;
  if (engine == nullptr) {
    engine = new Engine;
    int error = engine->start();
    if (error != 0) {
      char message[MESSAGE_SIZE];
      log_message(message, "Can't start the event loop: %d", error);
      show_warning(message);
    }
  }
  return *engine;
}

}  // namespace

void start_agent() {
  log_event(" *** KIV Started ***");
  start_sockets_once();
  handle_thread_closed_with(on_thread_closed);
  engine();
  WindowThread& window = window_thread();
  window.prepare_lamps();
  load_service_table();
  load_access_rules();
  window.resize_status_window();
  window.add_menu_items();
  reset_table_registry();
  running_count = 0;
  ServiceTable& table = service_table();
  for (int r = 0; r < table.service_count; ++r) {
    if (table.rows[r].config().enabled != 0) start_service(r);
  }
}

void start_service(int row) {
  ServiceRecord& record = service_table().rows[row];
  ServiceConfig config = record.config();
  // Counted before it starts: a restart decision taken on the window thread
  // right after this (a second reload or reset already queued) must see the
  // service, whether the loop has opened it yet or not.
  ++running_count;
  if (strcmp(config.name, CONTROL_PORT_NAME) == 0) {
    start_control_port(engine(), record);
  } else {
    start_listener(engine(), record, config);
  }
}

void request_reset(const char* text) {
  log_event(text);
  reset_pending = true;
  engine().wake_all();
}

void after_configuration(int result) {
  if (result == 1) request_reset("KIV reconfigured...");
  if (running_count == 0) restart_services();
}

void on_thread_closed() {
  if (running_count == 0 && reset_pending) restart_services();
}

void restart_services() {
  log_event("Resetting KIV...");
  reset_table_registry();
  load_access_rules();
  reset_pending = false;
  ServiceTable& table = service_table();
  for (int r = 0; r < table.service_count; ++r) {
    ServiceRecord& row = table.rows[r];
    if (row.config().enabled != 0) {
      row.state = SVC_READY;
      start_service(r);
    } else {
      row.state = SVC_DISABLED;
    }
  }
  WindowThread& window = window_thread();
  window.resize_status_window();
  window.redraw_status_window();
}

void shutdown_agent() {
  flush_event_log();
  WindowThread& window = window_thread();
  window.release_lamps();
  window.end_event_loop(0);
}

}  // namespace kiv
