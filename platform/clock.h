#pragma once
// Time as the agent needs it: sleeping, a tick count since system start, and
// the local date and time as log-line text.

#include <cstdint>

namespace kiv {

void sleep_ms(unsigned milliseconds);

/// Milliseconds since the system started; never goes back.
uint64_t tick_count_ms();

/// Number of characters of a timestamp, as in "Mon Jan 02 03:04:05 1995".
constexpr int TIMESTAMP_LENGTH = 24;

/// Writes the current local date and time as TIMESTAMP_LENGTH characters and
/// a terminator into `text`.
void format_timestamp(char (&text)[TIMESTAMP_LENGTH + 1]);

}  // namespace kiv
