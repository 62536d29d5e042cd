#include "tests/agent_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kiv_test {

namespace {

constexpr size_t kTimestampPrefix = 26;  // "Mon Jan 02 03:04:05 1995: "

bool is_log_line(const std::string& line) {
  return line.size() >= kTimestampPrefix && line[3] == ' ' && line[7] == ' ' &&
         line[10] == ' ' && line[13] == ':' && line[16] == ':' && line[24] == ':' &&
         line[25] == ' ';
}

bool is_sanitizer_report(const std::string& line) {
  return line.find("Sanitizer") != std::string::npos ||
         line.find("runtime error:") != std::string::npos;
}

}  // namespace

AgentProcess::AgentProcess(const TempFolder& folder) : AgentProcess(folder, KIV_AGENTD_PATH) {}

AgentProcess::AgentProcess(const TempFolder& folder, const char* program)
    : AgentProcess(folder, std::vector<std::string>{program}) {}

AgentProcess::AgentProcess(const TempFolder& folder, const std::vector<std::string>& command) {
  std::string name = std::filesystem::path(command[0]).filename().string();
  std::vector<char*> arguments{name.data()};
  for (size_t i = 1; i < command.size(); ++i) {
    arguments.push_back(const_cast<char*>(command[i].c_str()));
  }
  arguments.push_back(nullptr);
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipe_ends[1], STDERR_FILENO);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    if (chdir(folder.path().c_str()) != 0) _exit(126);
    execvp(command[0].c_str(), arguments.data());
    _exit(127);
  }
  close(pipe_ends[1]);
  reader_ = std::thread([this, fd = pipe_ends[0]] { read_output(fd); });
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !exited_) stop();
  if (reader_.joinable()) reader_.join();
  for (const std::string& line : lines()) {
    EXPECT_FALSE(is_sanitizer_report(line)) << "kiv-agentd reported: " << line;
  }
}

void AgentProcess::read_output(int fd) {
  std::string pending;
  char block[4096];
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(guard_);
      changed_.wait(lock, [this] { return !output_held_; });
    }
    ssize_t n = read(fd, block, sizeof block);
    if (n <= 0) break;
    pending.append(block, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::lock_guard<std::mutex> lock(guard_);
      lines_.push_back(pending.substr(0, end > 0 && pending[end - 1] == '\r' ? end - 1 : end));
      pending.erase(0, end + 1);
      changed_.notify_all();
    }
  }
  close(fd);
  std::lock_guard<std::mutex> lock(guard_);
  if (!pending.empty()) lines_.push_back(pending);
  changed_.notify_all();
}

std::string AgentProcess::event_text(const std::string& line) {
  return line.substr(kTimestampPrefix);
}

bool AgentProcess::wait_for_event(const std::string& text, int count, int deadline_ms) {
  std::unique_lock<std::mutex> lock(guard_);
  return changed_.wait_for(lock, std::chrono::milliseconds(deadline_ms), [&] {
    int seen = 0;
    for (const std::string& line : lines_) {
      if (is_log_line(line) && event_text(line) == text) ++seen;
    }
    return seen >= count;
  });
}

bool AgentProcess::wait_for_line(const std::string& wanted, int deadline_ms) {
  std::unique_lock<std::mutex> lock(guard_);
  return changed_.wait_for(lock, std::chrono::milliseconds(deadline_ms), [&] {
    for (const std::string& line : lines_) {
      if (line == wanted) return true;
    }
    return false;
  });
}

std::vector<std::string> AgentProcess::events() {
  std::vector<std::string> texts;
  for (const std::string& line : lines()) {
    if (is_log_line(line)) texts.push_back(event_text(line));
  }
  return texts;
}

std::vector<std::string> AgentProcess::lines() {
  std::lock_guard<std::mutex> lock(guard_);
  return lines_;
}

int AgentProcess::event_count(const std::string& text) {
  int seen = 0;
  for (const std::string& event : events()) seen += event == text;
  return seen;
}

void AgentProcess::hold_output(bool held) {
  std::lock_guard<std::mutex> lock(guard_);
  output_held_ = held;
  changed_.notify_all();
}

void AgentProcess::signal(int number) {
  if (pid_ > 0 && !exited_) kill(pid_, number);
}

int AgentProcess::stop() {
  signal(SIGTERM);
  int code = wait_exit(20000);
  if (code == -1 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    exited_ = true;
  }
  return code;
}

int AgentProcess::wait_exit(int deadline_ms) {
  if (exited_) return exit_code_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exited_ = true;
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return exit_code_;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace kiv_test
