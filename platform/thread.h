#pragma once
// Detached threads: the agent starts every worker this way and never joins one.

namespace kiv {

/// Starts `body(argument)` on a new detached thread. Returns 0, or the
/// platform's error code when no thread could be started (nothing ran).
int start_detached_thread(void (*body)(void*), void* argument);

}  // namespace kiv
