#pragma once
// Detached threads: the agent starts every worker this way and never joins one.

namespace kiv {

/// Starts `body(argument)` on a detached thread of its own. Returns 0, or the
/// platform's error code when no thread could be started (nothing ran).
///
/// A thread whose work has ended stays parked for a moment and takes the
/// next work started, so that a busy service does not pay for a new thread
/// each time.
int start_detached_thread(void (*body)(void*), void* argument);

/// Makes new threads until `count` are parked, and returns once they are: for
/// a caller that has nothing urgent to do and knows that works follow soon.
void make_spare_threads(int count);

/// How many threads the process may run at once and still leave the rest of
/// the machine room to start its own: a share of what the system allows.
int thread_limit();

}  // namespace kiv
