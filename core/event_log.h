#pragma once
// The event log: the agent's timestamped record of what happened, held in
// memory and appended to kiv.log (only while that file exists) when nearly
// full and at shutdown. Also the one way to put an error before the operator.

#include <functional>
#include <memory>

namespace kiv {

constexpr int LOG_CAPACITY = 1000;
/// log_event flushes first once this many lines are held.
constexpr int LOG_FLUSH_THRESHOLD = LOG_CAPACITY - 5;
constexpr const char* LOG_FILE_NAME = "kiv.log";
/// Size of the buffers into which failing operations format their message.
constexpr int MESSAGE_SIZE = 128;

/// EventLog holds the logged lines, oldest first, each "timestamp: text".
/// One per process; every thread appends, log_event or shutdown flushes,
/// the Log dialog reads. All of it is guarded by one lock inside event_log.cpp.
struct EventLog {
  std::unique_ptr<char[]> lines[LOG_CAPACITY];
  int line_count = 0;
};

/// Stamps `text` with the local date and time and holds it as a new line.
void log_event(const char* text);
/// log_event of a printf-style message of at most MESSAGE_SIZE characters.
void log_eventf(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Formats a failure message into `message` (MESSAGE_SIZE characters) and logs it.
void log_message(char* message, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// Appends the held lines to kiv.log if that file exists, and empties the log.
void flush_event_log();

/// Runs `pass` over the log while no line can be appended, flushed or released.
void read_event_log(const std::function<void(const EventLog&)>& pass);

/// Every line is also handed to `echo` as it is logged (the headless agent
/// prints them), in the order of the log; nullptr stops the echo. `echo`
/// runs under the log's guard, so it must never wait nor log: it returns
/// false for a line it could not take at once, and the count of such lines
/// is echoed before the next line that it takes.
void set_log_echo(bool (*echo)(const char* line));

/// Shows `text` to the operator as a "KIV Error" warning; returns once seen.
void show_warning(const char* text);

}  // namespace kiv
