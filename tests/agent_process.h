#pragma once
// A real kiv-agentd (or kiv-agent) process in a temporary folder of its own,
// with the lines it writes to standard error (its echoed log and its
// warnings) collected.

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>
#include <thread>

#include "tests/config_line.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace kiv_test {

class AgentProcess : public EventLines {
 public:
  /// Starts the agent program at `program` in `folder`, whose kiv.cnf the caller has written.
  explicit AgentProcess(const TempFolder& folder, const char* program = KIV_AGENTD_PATH)
      : AgentProcess(folder, std::vector<std::string>{program}) {}
  /// Starts `command`, a program and its arguments, in `folder`.
  AgentProcess(const TempFolder& folder, const std::vector<std::string>& command);
  /// Stops the agent if it still runs, and fails the test if a sanitizer
  /// reported anything.
  ~AgentProcess();

  /// Stops reading the agent's standard error, which then fills up as a
  /// pipe that nobody reads does; false reads on.
  void hold_output(bool held);

  void signal(int number);
  /// Sends SIGTERM and waits for the exit code (-1 when killed or hung).
  int stop();
  /// Waits for the process to end by itself: its exit code, or -1.
  int wait_exit(int deadline_ms);
  pid_t pid() const { return pid_; }

 private:
  void read_output(int fd);

  pid_t pid_ = -1;
  bool exited_ = false;
  int exit_code_ = -1;
  std::thread reader_;
  std::mutex hold_guard_;
  std::condition_variable hold_changed_;
  bool output_held_ = false;  // guarded by hold_guard_
  std::string sanitizer_report_;  // reader thread only, until joined
};

}  // namespace kiv_test
