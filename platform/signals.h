#pragma once
// Operator signals for the headless agent: stop (SIGINT, SIGTERM) and reload
// (SIGHUP), taken off the process's asynchronous signal path and handed to a
// callback on a thread of their own.

namespace kiv {

enum class OperatorSignal { Stop, Reload };

/// Blocks the operator signals in the calling thread (and so in every thread
/// started after it) and starts a thread that calls `on_signal` for each one
/// received. Call before any other thread exists.
void watch_operator_signals(void (*on_signal)(OperatorSignal));

}  // namespace kiv
