#pragma once
// A real kiv-agentd (or kiv-agent) process in a temporary folder of its own,
// with the lines it writes to standard error (its echoed log and its
// warnings) collected.

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/config_line.h"
#include "tests/temp_folder.h"

namespace kiv_test {

class AgentProcess {
 public:
  /// Starts kiv-agentd in `folder`, whose kiv.cnf the caller has written.
  explicit AgentProcess(const TempFolder& folder);
  /// Starts the agent program at `program` (kiv-agentd or kiv-agent) in `folder`.
  AgentProcess(const TempFolder& folder, const char* program);
  /// Starts `command`, a program and its arguments (wine and a Windows
  /// build's kiv-agentd.exe), in `folder`.
  AgentProcess(const TempFolder& folder, const std::vector<std::string>& command);
  /// Stops the agent if it still runs, and fails the test if a sanitizer
  /// reported anything.
  ~AgentProcess();

  /// Waits until a log line whose text (after the timestamp) is exactly
  /// `text` has been logged, at least `count` times in all.
  bool wait_for_event(const std::string& text, int count = 1, int deadline_ms = 20000);
  /// Waits until some line on standard error is exactly `line`.
  bool wait_for_line(const std::string& line, int deadline_ms = 20000);
  /// The texts of the log lines so far, timestamps taken off.
  std::vector<std::string> events();
  /// Every line written to standard error so far, line end (LF or CR LF) taken off.
  std::vector<std::string> lines();
  /// How many log lines so far have exactly `text`.
  int event_count(const std::string& text);

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
  static std::string event_text(const std::string& line);

  pid_t pid_ = -1;
  bool exited_ = false;
  int exit_code_ = -1;
  std::thread reader_;
  std::mutex guard_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;  // guarded by guard_
  bool output_held_ = false;        // guarded by guard_
};

}  // namespace kiv_test
