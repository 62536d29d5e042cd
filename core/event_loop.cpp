#include "core/event_loop.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/no_destructor.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace kiv {

namespace {

constexpr int MAX_CHECKS = 4;
constexpr int EVENTS_AT_ONCE = 256;

struct Call {
  void (*call)(void*);
  void* argument;
};

// The loop's state. The wait itself is the loop thread's; the rest is
// shared with the threads that post calls and timers.
struct Loop {
  std::once_flag started;
  int start_error = 0;
  EventWait* wait = nullptr;
  std::atomic<std::thread::id> thread{};
  std::mutex guard;
  std::vector<Call> posted;                                  // guarded by guard
  std::map<std::pair<uint64_t, uint64_t>, Call> timers;      // guarded; by due time, then id
  uint64_t last_timer_id = 0;                                // guarded by guard
  void (*checks[MAX_CHECKS])() = {};                         // guarded by guard
  int check_count = 0;                                       // guarded by guard
};

Loop& loop() {
  static NoDestructor<Loop> loop;
  return *loop;
}

// How long the loop may sleep: until the next timer is due, or for ever.
int next_timeout(Loop& loop) {
  std::lock_guard<std::mutex> lock(loop.guard);
  if (!loop.posted.empty()) return 0;  // posted by the loop's own thread
  if (loop.timers.empty()) return -1;
  uint64_t due = loop.timers.begin()->first.first;
  uint64_t now = tick_count_ms();
  return due <= now ? 0 : static_cast<int>(due - now);
}

void run_posted(Loop& loop, std::vector<Call>& calls) {
  {
    std::lock_guard<std::mutex> lock(loop.guard);
    calls.swap(loop.posted);
  }
  for (const Call& call : calls) call.call(call.argument);
  calls.clear();
}

void run_due_timers(Loop& loop) {
  const uint64_t now = tick_count_ms();
  for (;;) {
    Call due;
    {
      std::lock_guard<std::mutex> lock(loop.guard);
      if (loop.timers.empty() || loop.timers.begin()->first.first > now) return;
      due = loop.timers.begin()->second;
      loop.timers.erase(loop.timers.begin());
    }
    due.call(due.argument);
  }
}

void run_checks(Loop& loop) {
  void (*checks[MAX_CHECKS])();
  int count;
  {
    std::lock_guard<std::mutex> lock(loop.guard);
    count = loop.check_count;
    std::copy(loop.checks, loop.checks + count, checks);
  }
  for (int i = 0; i < count; ++i) checks[i]();
}

void run_loop(void*) {
  Loop& loop = kiv::loop();
  loop.thread = std::this_thread::get_id();
  ReadyEvent events[EVENTS_AT_ONCE];
  std::vector<Call> calls;
  for (;;) {
    int count = wait_for_events(*loop.wait, next_timeout(loop), events, EVENTS_AT_ONCE);
    for (int i = 0; i < count; ++i) {
      auto* handler = static_cast<SocketHandler*>(events[i].tag);
      handler->ready(handler, events[i].events);
    }
    run_posted(loop, calls);
    run_due_timers(loop);
    run_checks(loop);
  }
}

}  // namespace

int start_event_loop() {
  Loop& loop = kiv::loop();
  std::call_once(loop.started, [&loop] {
    loop.wait = create_event_wait();
    if (loop.wait == nullptr) {
      loop.start_error = -1;
      return;
    }
    loop.start_error = start_detached_thread(run_loop, nullptr);
  });
  return loop.start_error;
}

bool on_loop_thread() { return loop().thread.load() == std::this_thread::get_id(); }

int watch_socket(Socket s, Readiness interest, SocketHandler* handler) {
  return add_waiting(*loop().wait, s, interest, handler);
}

int rearm_socket(Socket s, Readiness interest, SocketHandler* handler) {
  return modify_waiting(*loop().wait, s, interest, handler);
}

void stop_watching(Socket s) { delete_waiting(*loop().wait, s); }

LoopTimer call_later(unsigned delay_ms, void (*call)(void*), void* argument) {
  Loop& loop = kiv::loop();
  LoopTimer timer;
  bool first;
  {
    std::lock_guard<std::mutex> lock(loop.guard);
    timer = LoopTimer{tick_count_ms() + delay_ms, ++loop.last_timer_id};
    auto placed =
        loop.timers.emplace(std::make_pair(timer.due_ms, timer.id), Call{call, argument});
    first = placed.first == loop.timers.begin();
  }
  // Only a timer due before every other changes how long the loop sleeps.
  if (first) wake_event_loop();
  return timer;
}

bool cancel_timer(const LoopTimer& timer) {
  Loop& loop = kiv::loop();
  std::lock_guard<std::mutex> lock(loop.guard);
  return loop.timers.erase(std::make_pair(timer.due_ms, timer.id)) == 1;
}

void call_on_loop(void (*call)(void*), void* argument) {
  Loop& loop = kiv::loop();
  {
    std::lock_guard<std::mutex> lock(loop.guard);
    loop.posted.push_back(Call{call, argument});
  }
  wake_event_loop();
}

void check_after_each_wake(void (*check)()) {
  Loop& loop = kiv::loop();
  std::lock_guard<std::mutex> lock(loop.guard);
  for (int i = 0; i < loop.check_count; ++i) {
    if (loop.checks[i] == check) return;
  }
  if (loop.check_count < MAX_CHECKS) loop.checks[loop.check_count++] = check;
}

void wake_event_loop() {
  // The loop's own thread looks at what changed before it sleeps again.
  Loop& loop = kiv::loop();
  if (loop.wait != nullptr && !on_loop_thread()) wake_waiting(*loop.wait);
}

}  // namespace kiv
