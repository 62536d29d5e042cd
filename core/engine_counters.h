#pragma once
// What the engine's parts share with the agent's life: the reset request and
// the counts a restart waits on, and when the agent started.

#include <atomic>
#include <cstdint>

namespace kiv {

/// A reset was requested and not carried out yet; cleared only by restart_services.
extern std::atomic<bool> reset_pending;
/// Running listeners, control ports and relay directions, each counted from
/// just before it is started until it has ended: a restart waits for 0.
extern std::atomic<int> running_count;
/// Open client connections of all services (relays and control clients).
extern std::atomic<int> connection_count;

/// Seconds since system start, taken first thing by the program's entry.
uint64_t start_time();
void take_start_time();

}  // namespace kiv
