#pragma once
// The whole agent run inside the test process, so that a test can see what
// no peer sees: each row's counters, running_count and connection_count.

#include <thread>

#include "core/service_table.h"
#include "tests/config_line.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace kiv_test {

/// InProcessAgent runs the agent in `folder` (made the working folder, its kiv.cnf written by
/// the caller) with every row's counters at 0, on a window thread of its own as kiv-agentd on
/// its main thread. The destructor winds every service down and ends the agent, so that the
/// next test of the process starts another from nothing. One at a time.
class InProcessAgent : public EventLines {
 public:
  explicit InProcessAgent(const TempFolder& folder);
  ~InProcessAgent();

  kiv::ServiceRecord& row(int index);

  /// Waits until no client connection is open and `services` listeners and
  /// control ports run (the agent at rest with that many).
  bool wait_until_idle(int services, int deadline_ms = 30000);
  /// Queues `command` to run on the window thread, as an operator's is.
  void post(void (*command)());

 private:
  std::thread window_;
};

}  // namespace kiv_test
