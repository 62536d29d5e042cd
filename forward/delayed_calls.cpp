#include "forward/delayed_calls.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/clock.h"
#include "platform/thread.h"

namespace kiv {

namespace {

using Clock = std::chrono::steady_clock;

// How long the delayed-call thread waits with nothing due before it ends;
// the next call starts another.
constexpr auto IDLE_LIFETIME = std::chrono::seconds(2);

struct DelayedCall {
  void (*call)(void*);
  void* argument;
};

struct DelayedCalls {
  std::mutex guard;
  std::condition_variable added;
  std::multimap<Clock::time_point, DelayedCall> due;  // guarded by guard
  bool thread_running = false;                        // guarded by guard
};

// Never destroyed: its thread waits on it while the process exits.
DelayedCalls& delayed_calls() {
  static DelayedCalls* calls = new DelayedCalls;
  return *calls;
}

void run_delayed_calls(void*) {
  DelayedCalls& calls = delayed_calls();
  std::unique_lock<std::mutex> lock(calls.guard);
  for (;;) {
    if (calls.due.empty() &&
        !calls.added.wait_for(lock, IDLE_LIFETIME, [&calls] { return !calls.due.empty(); })) {
      calls.thread_running = false;
      return;
    }
    auto next = calls.due.begin();
    if (Clock::now() < next->first) {
      calls.added.wait_until(lock, next->first);
      continue;
    }
    DelayedCall call = next->second;
    calls.due.erase(next);
    lock.unlock();
    call.call(call.argument);
    lock.lock();
  }
}

}  // namespace

void call_after(unsigned delay_ms, void (*call)(void*), void* argument) {
  DelayedCalls& calls = delayed_calls();
  bool queued;
  bool first_due = false;
  {
    std::lock_guard<std::mutex> lock(calls.guard);
    if (!calls.thread_running) {
      calls.thread_running = start_detached_thread(run_delayed_calls, nullptr) == 0;
    }
    queued = calls.thread_running;
    if (queued) {
      auto added = calls.due.emplace(Clock::now() + std::chrono::milliseconds(delay_ms),
                                     DelayedCall{call, argument});
      first_due = added == calls.due.begin();
    }
  }
  if (queued) {
    // The thread sleeps until the first call due; a later one need not wake it.
    if (first_due) calls.added.notify_one();
    return;
  }
  sleep_ms(delay_ms);
  call(argument);
}

}  // namespace kiv
