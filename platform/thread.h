#pragma once
// Detached threads: the agent starts every worker this way and never joins one.

#include <cstddef>

namespace kiv {

/// The stack of every worker thread: room for the deepest calls a worker
/// makes (a host name lookup, a log line) several times over. The platform's
/// default is far more, reserved by each of the thousands of threads that
/// thousands of relays run on.
constexpr size_t WORKER_STACK_SIZE = 128 * 1024;

/// Starts `body(argument)` on a detached thread of its own. Returns 0, or the
/// platform's error code when no thread could be started (nothing ran).
///
/// A thread whose work has ended stays parked for a moment and takes the
/// next work started, so that a busy service does not pay for a new thread
/// each time.
int start_detached_thread(void (*body)(void*), void* argument);

/// How many threads the process may run at once and still leave the rest of
/// the machine room to start its own: a share of what the system allows.
int thread_limit();

}  // namespace kiv
