#include "tests/in_process_agent.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/event_log.h"
#include "core/headless_window.h"
#include "core/lifecycle.h"
#include "core/no_destructor.h"
#include "tests/loopback.h"

namespace kiv_test {

namespace {

constexpr size_t kTimestampPrefix = 26;  // "Mon Jan 02 03:04:05 1995: "

/// The log lines of the one agent in this process.
struct Seen {
  std::mutex guard;
  std::condition_variable changed;
  std::vector<std::string> events;  // guarded by guard
};

Seen& seen() {
  static kiv::NoDestructor<Seen> everything;
  return *everything;
}

bool keep_line(const char* line) {
  Seen& all = seen();
  std::lock_guard<std::mutex> lock(all.guard);
  all.events.push_back(std::string(line).substr(kTimestampPrefix));
  all.changed.notify_all();
  return true;
}

std::atomic<kiv::HeadlessWindow*> window{nullptr};

void reset_from_menu() { kiv::request_reset("Pending KIV reset..."); }

}  // namespace

InProcessAgent::InProcessAgent(const TempFolder& folder) {
  if (chdir(folder.path().c_str()) != 0) abort();
  kiv::set_log_echo(keep_line);
  kiv::take_start_time();
  std::atomic<bool> started{false};
  window_ = std::thread([&started] {
    // Never destroyed: detached workers may still deliver to it at exit.
    static kiv::NoDestructor<kiv::HeadlessWindow> headless;
    window = headless.get();
    kiv::install_window_thread(headless.get());
    kiv::start_agent();
    started = true;
    headless->run_event_loop();
  });
  eventually([&started] { return started.load(); });
}

InProcessAgent::~InProcessAgent() {
  window.load()->post(kiv::shutdown_agent);
  window_.join();
}

kiv::ServiceRecord& InProcessAgent::row(int index) { return kiv::service_table().rows[index]; }

bool InProcessAgent::wait_for_event(const std::string& text, int count, int deadline_ms) {
  Seen& all = seen();
  std::unique_lock<std::mutex> lock(all.guard);
  return all.changed.wait_for(lock, std::chrono::milliseconds(deadline_ms), [&] {
    int found = 0;
    for (const std::string& event : all.events) found += event == text;
    return found >= count;
  });
}

std::vector<std::string> InProcessAgent::events() {
  Seen& all = seen();
  std::lock_guard<std::mutex> lock(all.guard);
  return all.events;
}

int InProcessAgent::event_count(const std::string& text) {
  int found = 0;
  for (const std::string& event : events()) found += event == text;
  return found;
}

bool InProcessAgent::wait_until_idle(int threads, int deadline_ms) {
  return eventually(
      [threads] { return kiv::connection_count == 0 && kiv::thread_count == threads; },
      deadline_ms);
}

void InProcessAgent::request_reset() { window.load()->post(reset_from_menu); }

void InProcessAgent::post(void (*command)()) { window.load()->post(command); }

}  // namespace kiv_test
