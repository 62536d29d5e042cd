#pragma once
// The agent's life: start-up, the services that serve the rows, reset
// requests and the restart that answers them, and shutdown. Every restart
// decision is taken on the window thread.

#include "core/engine_counters.h"

namespace kiv {

/// The start-up sequence, on the window thread once the window exists: log
/// the start, start the sockets layer and the event loop, load kiv.cnf, fit
/// the window, and start the service of each enabled row.
void start_agent();
/// Starts the service of row `row` on the event loop: the control port for a
/// row named "KIV", a listener for any other.
void start_service(int row);

/// Logs `text` and asks every service to wind down for a restart.
void request_reset(const char* text);
/// After the Configuration dialog closed with `result` (1: use the new
/// settings now): requests a reset for 1; restarts at once if nothing
/// runs (running_count 0), whatever the result.
void after_configuration(int result);
/// Window-thread handling of NOTIFY_THREAD_CLOSED.
void on_thread_closed();
/// Starts every enabled row again from the table in memory.
void restart_services();
/// Flushes the log and ends the window thread's event loop with code 0.
void shutdown_agent();

}  // namespace kiv
