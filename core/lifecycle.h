#pragma once
// The agent's life: start-up, the threads that serve the rows, reset requests
// and the restart that answers them, and shutdown. Every restart decision is
// taken on the window thread.

#include <atomic>
#include <cstdint>

namespace kiv {

/// A reset was requested and not carried out yet; cleared only by restart_services.
extern std::atomic<bool> reset_pending;
/// Running listener, control-port and pump threads, each counted from just
/// before it is started until it ends.
extern std::atomic<int> thread_count;
/// Open client connections of all services (relays and control clients).
extern std::atomic<int> connection_count;

/// Seconds since system start, taken first thing by the program's entry.
uint64_t start_time();
void take_start_time();

/// The start-up sequence, on the window thread once the window exists: log
/// the start, start the sockets layer, load kiv.cnf, fit the window, and
/// start one thread per enabled row.
void start_agent();
/// Starts the thread that serves row `row`: the control port for a row named
/// "KIV", a listener for any other.
void start_service(int row);

/// Logs `text` and asks every service thread to wind down for a restart.
void request_reset(const char* text);
/// After the Configuration dialog closed with `result` (1: use the new
/// settings now): requests a reset for 1; restarts at once if no service
/// thread runs, whatever the result.
void after_configuration(int result);
/// Window-thread handling of NOTIFY_THREAD_CLOSED.
void on_thread_closed();
/// Starts every enabled row again from the table in memory.
void restart_services();
/// Flushes the log and ends the window thread's event loop with code 0.
void shutdown_agent();

}  // namespace kiv
