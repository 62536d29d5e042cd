#pragma once
// Detached threads: the agent starts every thread of its own this way and
// never joins one.

#include <cstddef>

namespace kiv {

/// The stack of every such thread: room for the deepest calls one makes (a
/// host name lookup, a log line) several times over, far less than the
/// platform's default.
constexpr size_t THREAD_STACK_SIZE = 128 * 1024;

/// Starts `body(argument)` on a detached thread of its own. Returns 0, or the
/// platform's error code when no thread could be started (nothing ran).
int start_detached_thread(void (*body)(void*), void* argument);

}  // namespace kiv
