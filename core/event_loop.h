#pragma once
// EventLoop is one thread that waits for everything that runs on it (sockets
// ready, timers due, calls posted by other threads) and sleeps exactly until
// one of them needs it. What runs on a loop is given the loop it runs on.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "platform/event_wait.h"
#include "platform/mutex.h"
#include "platform/socket.h"

namespace kiv {

/// SocketHandler is what a loop calls, on its own thread, when a socket it
/// watches is ready: `ready(handler, events)` (Readiness flags). The struct
/// that holds it (a listener, a relay) is the handler's context; it may be
/// freed as soon as its sockets are no longer watched, even from within a
/// handler of the same round.
struct SocketHandler {
  void (*ready)(SocketHandler* handler, Readiness events);
};

/// A call a loop makes once its time has come, until cancelled.
struct LoopTimer {
  uint64_t due_ms = 0;
  uint64_t id = 0;
};

class EventLoop {
 public:
  /// A loop lives as long as the process: its thread is never ended.
  EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  /// Starts the loop's thread: 0, or the platform's error code.
  int start();
  bool on_loop_thread() const { return thread_id_.load() == std::this_thread::get_id(); }

  // The socket and timer calls below are made on the loop's own thread.

  /// Watches `s` for `interest` (failures are always reported). Each
  /// readiness is delivered once: after handling one, a handler that wants
  /// the next calls rearm (which delivers at once what is ready then).
  /// Returns 0 or the platform's error code.
  int watch(Socket s, Readiness interest, SocketHandler* handler);
  int rearm(Socket s, Readiness interest, SocketHandler* handler);
  /// Stops watching `s` (before it is closed): `handler` is called no more
  /// for it, not even for a readiness taken in the round under way.
  void stop_watching(Socket s, SocketHandler* handler);

  /// Calls `call(argument)` once `delay_ms` have passed; calls due at the
  /// same moment in the order they were asked for.
  LoopTimer call_later(unsigned delay_ms, void (*call)(void*), void* argument);
  /// true when the call will not be made.
  bool cancel_timer(const LoopTimer& timer);

  /// Runs `call` on the loop's thread soon, after the calls posted before it
  /// (from any thread).
  void post(std::function<void()> call) EXCLUDES(guard_);
  /// Has `check(argument)` run each time the loop has handled what woke it
  /// (a reset to answer, a count that reached 0), until forget_check.
  void check_after_each_wake(void (*check)(void*), void* argument) EXCLUDES(guard_);
  void forget_check(void (*check)(void*), void* argument) EXCLUDES(guard_);
  /// Has the loop run its checks now, from any thread: from the loop's own,
  /// once more after the round under way.
  void wake();

 private:
  struct Call {
    void (*call)(void*);
    void* argument;
    bool operator==(const Call& other) const {
      return call == other.call && argument == other.argument;
    }
  };

  static void run(void* loop);
  int next_timeout() EXCLUDES(guard_);
  void run_posted() EXCLUDES(guard_);
  void run_due_timers();
  void run_checks() EXCLUDES(guard_);

  EventWait* wait_ = nullptr;
  std::atomic<std::thread::id> thread_id_{};
  // What the loop is delivering in the round under way.
  ReadyEvent* batch_ = nullptr;
  int batch_next_ = 0;
  int batch_count_ = 0;
  // The loop thread's alone: timers by due time, then the order asked.
  std::map<std::pair<uint64_t, uint64_t>, Call> timers_;
  uint64_t last_timer_id_ = 0;
  bool woken_on_loop_ = false;  // a check may have run before what it looks at changed

  Mutex guard_;
  std::vector<std::function<void()>> posted_ GUARDED_BY(guard_);
  std::vector<Call> checks_ GUARDED_BY(guard_);
};

}  // namespace kiv
