#include "tests/in_process_agent.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/event_log.h"
#include "core/headless_window.h"
#include "core/lifecycle.h"
#include "core/window_thread.h"

namespace kiv_test {

namespace {

struct Logged {
  std::mutex guard;
  std::condition_variable changed;
  std::vector<std::string> texts;  // guarded by guard
};

// Never destroyed: agent threads may still log while the test process exits.
Logged& logged() {
  static Logged* lines = new Logged;
  return *lines;
}

void record_line(const char* line) {
  Logged& lines = logged();
  std::lock_guard<std::mutex> lock(lines.guard);
  lines.texts.emplace_back(line + 26);
  lines.changed.notify_all();
}

std::atomic<kiv::HeadlessWindow*> window{nullptr};

}  // namespace

InProcessAgent::InProcessAgent(const TempFolder& folder) {
  if (chdir(folder.path().c_str()) != 0) return;
  kiv::set_log_echo(record_line);
  kiv::take_start_time();
  std::atomic<bool> started{false};
  window_thread_ = std::thread([&started] {
    auto* headless = new kiv::HeadlessWindow;  // lives as long as the process
    kiv::install_window_thread(headless);
    window = headless;
    kiv::start_agent();
    started = true;
    headless->run_event_loop();
  });
  eventually([&started] { return started.load(); });
}

InProcessAgent::~InProcessAgent() {
  post(kiv::shutdown_agent);
  window_thread_.join();
}

void InProcessAgent::post(void (*command)()) { window.load()->post(command); }

bool InProcessAgent::wait_for_event(const std::string& text, int count, int deadline_ms) {
  Logged& lines = logged();
  std::unique_lock<std::mutex> lock(lines.guard);
  return lines.changed.wait_for(lock, std::chrono::milliseconds(deadline_ms), [&] {
    int seen = 0;
    for (const std::string& line : lines.texts) seen += line == text;
    return seen >= count;
  });
}

int InProcessAgent::event_count(const std::string& text) {
  int seen = 0;
  for (const std::string& line : events()) seen += line == text;
  return seen;
}

std::vector<std::string> InProcessAgent::events() {
  Logged& lines = logged();
  std::lock_guard<std::mutex> lock(lines.guard);
  return lines.texts;
}

}  // namespace kiv_test
