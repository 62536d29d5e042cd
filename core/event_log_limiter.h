#pragma once
// The bound on lines of the agent's own making that a client can make it
// repeat at its own pace (a client refused, a connection over the limit):
// the first of a kind is logged, then at most one a second, which says how
// many like it were left out.

#include <cstdint>
#include <map>
#include <string>

namespace kiv {

/// Least time between two logged lines of one kind.
constexpr uint64_t LIMITED_LINE_INTERVAL_MS = 1000;

/// RepeatLimiter decides which lines of each kind are logged. Not guarded:
/// log_event_limited holds one for the process under a lock.
class RepeatLimiter {
 public:
  /// Whether a line of `kind` at `now_ms` is logged; when it is, `left_out`
  /// is the count of lines of its kind left out since the last one logged.
  bool admit(const std::string& kind, uint64_t now_ms, unsigned long& left_out);

 private:
  struct Kind {
    uint64_t logged_ms;
    unsigned long left_out;
  };
  std::map<std::string, Kind> kinds_;
};

/// log_eventf for a line that a client can make the agent repeat. `kind`
/// names its kind (a service's name and what befell it, "S Refused"), or is
/// null when the line's own text is its kind. A line logged after some of
/// its kind were left out ends with " (N more like it)".
void log_event_limited(const char* kind, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace kiv
