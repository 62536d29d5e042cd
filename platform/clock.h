#pragma once
// Time as the agent needs it: sleeping, a tick count since system start, and
// the local date and time.

#include <cstdint>
#include <ctime>

namespace kiv {

void sleep_ms(unsigned milliseconds);

/// Milliseconds since the system started; never goes back.
uint64_t tick_count_ms();

/// The current local date and time, broken down: every field of std::tm
/// that a calendar date and a time of day need, tm_wday included.
std::tm local_time_now();

}  // namespace kiv
