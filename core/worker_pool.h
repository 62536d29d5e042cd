#pragma once
// The worker pool: a few threads that do the agent's work that may take a
// while (moving a relay's bytes, looking a host name up), so that the event
// loop never does. Workers end when idle, so an idle agent holds none.

namespace kiv {

/// Most workers at once: beyond them, work waits in a queue for the next free one.
constexpr int MAX_WORKERS = 8;
/// A worker with nothing to do ends after this long.
constexpr unsigned WORKER_IDLE_MS = 2000;

/// Has `work(argument)` run on a worker, after the work queued before it.
/// When no worker can be started and none runs, starting one is tried again
/// a moment later; the work waits meanwhile.
void run_on_worker(void (*work)(void*), void* argument);
/// Whether work waits in the queue for a worker that cannot be added: a
/// busy worker then lets it go first.
bool work_is_waiting();

}  // namespace kiv
