#include "core/event_loop.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/thread.h"

namespace kiv {

namespace {

constexpr int EVENTS_AT_ONCE = 256;

}  // namespace

EventLoop::EventLoop() : wait_(create_event_wait()) {}

int EventLoop::start() {
  if (wait_ == nullptr) return -1;
  return start_detached_thread(run, this);
}

int EventLoop::watch(Socket s, Readiness interest, SocketHandler* handler) {
  return add_waiting(*wait_, s, interest, handler);
}

int EventLoop::rearm(Socket s, Readiness interest, SocketHandler* handler) {
  return modify_waiting(*wait_, s, interest, handler);
}

void EventLoop::stop_watching(Socket s, SocketHandler* handler) {
  delete_waiting(*wait_, s);
  // A readiness of the same handler later in this round is not delivered:
  // the handler may be freed before the round ends.
  for (int i = batch_next_; i < batch_count_; ++i) {
    if (batch_[i].tag == handler) batch_[i].tag = nullptr;
  }
}

LoopTimer EventLoop::call_later(unsigned delay_ms, void (*call)(void*), void* argument) {
  LoopTimer timer{tick_count_ms() + delay_ms, ++last_timer_id_};
  timers_.emplace(std::make_pair(timer.due_ms, timer.id), Call{call, argument});
  return timer;
}

bool EventLoop::cancel_timer(const LoopTimer& timer) {
  return timers_.erase(std::make_pair(timer.due_ms, timer.id)) == 1;
}

void EventLoop::post(std::function<void()> call) {
  {
    MutexLock lock(guard_);
    posted_.push_back(std::move(call));
  }
  // The loop's own thread looks at what was posted before it sleeps again.
  if (!on_loop_thread()) wake_waiting(*wait_);
}

void EventLoop::check_after_each_wake(void (*check)(void*), void* argument) {
  MutexLock lock(guard_);
  if (std::find(checks_.begin(), checks_.end(), Call{check, argument}) == checks_.end()) {
    checks_.push_back(Call{check, argument});
  }
}

void EventLoop::forget_check(void (*check)(void*), void* argument) {
  MutexLock lock(guard_);
  checks_.erase(std::remove(checks_.begin(), checks_.end(), Call{check, argument}),
                checks_.end());
}

void EventLoop::wake() {
  if (on_loop_thread()) {
    woken_on_loop_ = true;
  } else {
    wake_waiting(*wait_);
  }
}

// How long the loop may sleep: until the next timer is due, or for ever.
int EventLoop::next_timeout() {
  if (woken_on_loop_) {
    woken_on_loop_ = false;
    return 0;
  }
  {
    MutexLock lock(guard_);
    if (!posted_.empty()) return 0;
  }
  if (timers_.empty()) return -1;
  uint64_t due = timers_.begin()->first.first;
  uint64_t now = tick_count_ms();
  return due <= now ? 0 : static_cast<int>(std::min<uint64_t>(due - now, 1u << 30));
}

void EventLoop::run_posted() {
  std::vector<std::function<void()>> calls;
  {
    MutexLock lock(guard_);
    calls.swap(posted_);
  }
  for (const std::function<void()>& call : calls) call();
}

void EventLoop::run_due_timers() {
  const uint64_t now = tick_count_ms();
  while (!timers_.empty() && timers_.begin()->first.first <= now) {
    Call due = timers_.begin()->second;
    timers_.erase(timers_.begin());
    due.call(due.argument);
  }
}

void EventLoop::run_checks() {
  std::vector<Call> checks;
  {
    MutexLock lock(guard_);
    checks = checks_;
  }
  for (const Call& check : checks) check.call(check.argument);
}

void EventLoop::run(void* argument) {
  EventLoop& loop = *static_cast<EventLoop*>(argument);
  loop.thread_id_ = std::this_thread::get_id();
  ReadyEvent events[EVENTS_AT_ONCE];
  for (;;) {
    int count = wait_for_events(*loop.wait_, loop.next_timeout(), events, EVENTS_AT_ONCE);
    loop.batch_ = events;
    loop.batch_count_ = count;
    for (loop.batch_next_ = 0; loop.batch_next_ < count;) {
      const ReadyEvent& event = events[loop.batch_next_++];
      if (event.tag == nullptr) continue;
      auto* handler = static_cast<SocketHandler*>(event.tag);
      handler->ready(handler, event.events);
    }
    loop.batch_count_ = 0;
    loop.run_posted();
    loop.run_due_timers();
    loop.run_checks();
  }
}

}  // namespace kiv
