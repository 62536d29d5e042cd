#pragma once
// The system's own detached threads, under the parking of platform/thread.h.

namespace kiv {

/// What every new thread runs, given its first work (defined with the parking).
void run_new_thread(void* first_work);

/// Starts run_new_thread(first_work) on a new detached thread of the
/// system's. Returns 0, or the system's error code when none could be started.
int start_system_thread(void* first_work);

}  // namespace kiv
