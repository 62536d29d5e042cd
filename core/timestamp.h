#pragma once
// The stamp that begins every event-log line: "Mon Jan 02 03:04:05 1995".

#include <ctime>

namespace kiv {

/// Number of characters of a timestamp.
constexpr int TIMESTAMP_LENGTH = 24;

/// Writes `when` as TIMESTAMP_LENGTH characters and a terminator into
/// `text`: English day and month names and plain digits, whatever locale a
/// library has switched the process to.
void format_timestamp(const std::tm& when, char (&text)[TIMESTAMP_LENGTH + 1]);
/// format_timestamp of the current local date and time.
void format_timestamp(char (&text)[TIMESTAMP_LENGTH + 1]);

}  // namespace kiv
