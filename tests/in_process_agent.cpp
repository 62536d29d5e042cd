#include "tests/in_process_agent.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "core/headless_window.h"
#include "agent/lifecycle.h"
#include "tests/loopback.h"

namespace kiv_test {

namespace {

std::mutex agent_guard;
EventLines* running_agent = nullptr;  // guarded by agent_guard
std::atomic<kiv::HeadlessWindow*> window{nullptr};

bool keep_line(const char* line) {
  std::lock_guard<std::mutex> lock(agent_guard);
  if (running_agent != nullptr) running_agent->add(line);
  return true;
}

void set_running_agent(EventLines* agent) {
  std::lock_guard<std::mutex> lock(agent_guard);
  running_agent = agent;
}

// Leaves no row to restart, then asks every service thread to wind down.
void stop_services() {
  kiv::publish_service_rows(nullptr, 0);
  kiv::after_configuration(1);
}

}  // namespace

InProcessAgent::InProcessAgent(const TempFolder& folder) {
  if (chdir(folder.path().c_str()) != 0) abort();
  for (kiv::ServiceRecord& record : kiv::service_table().rows) {
    for (auto* counter : {&record.connections, &record.bytes_read, &record.bytes_written,
                          &record.errors_c, &record.errors_t, &record.errors_o}) {
      *counter = 0;
    }
  }
  set_running_agent(this);
  kiv::set_log_echo(keep_line);
  kiv::take_start_time();
  std::atomic<bool> started{false};
  window_ = std::thread([&started] {
    // Never destroyed, and kept where the leak checker sees it: an event loop
    // may still deliver to it as the agent ends.
    static auto* every_window = new std::vector<std::unique_ptr<kiv::HeadlessWindow>>;
    kiv::HeadlessWindow* own = every_window->emplace_back(new kiv::HeadlessWindow).get();
    window = own;
    kiv::install_window_thread(own);
    kiv::start_agent();
    started = true;
    own->run_event_loop();
  });
  eventually([&started] { return started.load(); });
}

InProcessAgent::~InProcessAgent() {
  post(stop_services);
  // Nothing can run after an agent that does not come to rest.
  if (!wait_until_idle(0, 60000)) abort();
  post(kiv::shutdown_agent);
  window_.join();
  set_running_agent(nullptr);
}

kiv::ServiceRecord& InProcessAgent::row(int index) { return kiv::service_table().rows[index]; }

bool InProcessAgent::wait_until_idle(int services, int deadline_ms) {
  return eventually(
      [services] { return kiv::connection_count == 0 && kiv::running_count == services; },
      deadline_ms);
}

void InProcessAgent::post(void (*command)()) { window.load()->post(command); }

}  // namespace kiv_test
