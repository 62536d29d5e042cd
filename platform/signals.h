#pragma once
// Operator signals for the headless agent: stop (SIGINT and SIGTERM on
// Linux; Ctrl+C, Ctrl+Break and closing the console on Windows) and reload
// (SIGHUP, Linux only), handed to a callback on a thread of their own.

namespace kiv {

enum class OperatorSignal { Stop, Reload };

/// Takes the operator signals off their default action and calls
/// `on_signal` for each one received, on a thread that does nothing else
/// meanwhile. Call before any other thread exists.
void watch_operator_signals(void (*on_signal)(OperatorSignal));

}  // namespace kiv
