#include "tests/agent_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

namespace kiv_test {

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
    if (chdir(folder.path().c_str()) != 0) _exit(126);
    execvp(command[0].c_str(), arguments.data());
    _exit(127);
  }
  close(pipe_ends[1]);
  reader_ = std::thread([this, fd = pipe_ends[0]] { read_output(fd); });
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !exited_) stop();
  hold_output(false);  // a test that failed while holding it
  if (reader_.joinable()) reader_.join();
  EXPECT_EQ(sanitizer_report_, "") << "the agent's sanitizers reported a fault";
}

void AgentProcess::read_output(int fd) {
  std::string pending;
  char block[4096];
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(hold_guard_);
      hold_changed_.wait(lock, [this] { return !output_held_; });
    }
    ssize_t n = read(fd, block, sizeof block);
    if (n <= 0) break;
    pending.append(block, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      std::string line = pending.substr(0, end > 0 && pending[end - 1] == '\r' ? end - 1 : end);
      bool reported = line.find("Sanitizer") != std::string::npos ||
                      line.find("runtime error:") != std::string::npos;
      if (reported) sanitizer_report_ += line + "\n";
      add(line);
    }
  }
  close(fd);
}

void AgentProcess::hold_output(bool held) {
  std::lock_guard<std::mutex> lock(hold_guard_);
  output_held_ = held;
  hold_changed_.notify_all();
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
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return exit_code_;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace kiv_test
