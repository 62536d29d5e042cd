#pragma once
// Which of the agent's log lines and warnings a service reports to the
// system's log, and as which event.

#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/service_host.h"

namespace kiv {

/// One fault for the system's log: its kind and the text inserted in its message.
struct ServiceFault {
  ServiceEvent event;
  std::string insert;
};

/// ServiceFaults collects the faults of a running service for the service's
/// own thread to report, away from the threads that log them. Every warning
/// is a fault; of the lines that are only logged, those that leave a
/// service unserved (no kiv.cnf, a port that can't be had) are too. A fault
/// that repeats the one reported last, with no other line logged between,
/// is reported once: a bad record of kiv.cnf is read as two.
class ServiceFaults {
 public:
  /// The text of a line as it is logged. Runs under the log's guard: it
  /// never waits for more than the moment take() holds the lock.
  void line_logged(const char* text) EXCLUDES(guard_);
  /// The text of a warning as it is shown.
  void warning_shown(const char* text) EXCLUDES(guard_);
  /// The faults collected since the last call, oldest first.
  std::vector<ServiceFault> take() EXCLUDES(guard_);

 private:
  void collect(const char* text, ServiceFault fault) REQUIRES(guard_);

  Mutex guard_;
  std::string repeated_ GUARDED_BY(guard_);  // the fault last collected, while it may repeat
  std::vector<ServiceFault> collected_ GUARDED_BY(guard_);
};

}  // namespace kiv
