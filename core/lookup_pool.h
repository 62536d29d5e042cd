#pragma once
// LookupPool is a few threads for work that blocks (looking a host name up,
// loading a table file), so that no event loop ever waits on it. Each piece of
// work belongs to an owner (a service), and no owner can take every thread.

#include <deque>
#include <functional>
#include <map>

#include "platform/mutex.h"

namespace kiv {

/// LookupPool runs queued work on threads it starts as work comes and that end
/// once idle, so an idle agent holds none of them. The agent's pool has
/// LOOKUP_THREADS threads, LOOKUP_THREADS_PER_SERVICE per service: a service
/// whose name server hangs leaves the rest to the other services.
class LookupPool {
 public:
  /// Starts `body(argument)` on a thread of its own: 0, or the platform's
  /// error code when no thread could be started.
  using ThreadStarter = std::function<int(void (*body)(void*), void* argument)>;

  /// At most `max_threads` threads, at most `max_per_owner` of them busy with
  /// one owner's work; a thread with nothing to do for `idle_ms` ends.
  /// `start_thread` is the platform's detached thread unless a test says.
  LookupPool(int max_threads, int max_per_owner, unsigned idle_ms,
             ThreadStarter start_thread = nullptr);
  /// Drops the work still queued and returns once every thread has ended
  /// (after the work each is doing).
  ~LookupPool();
  LookupPool(const LookupPool&) = delete;
  LookupPool& operator=(const LookupPool&) = delete;

  /// Has `work` run on a thread of the pool, after the work of `owner` queued
  /// before it. Work of an owner that has `max_per_owner` threads busy waits,
  /// and other owners' work goes first meanwhile. A thread that cannot be
  /// started is tried again at the next run and whenever a thread of the pool
  /// takes work; the work waits meanwhile.
  void run(const void* owner, std::function<void()> work);

 private:
  struct Work {
    const void* owner;
    std::function<void()> run;
  };

  static void run_thread(void* pool);
  void serve();
  /// Starts threads for the queued work that the idle ones will not take.
  void add_threads() REQUIRES(mutex_);
  /// The first queued work whose owner may have one more thread busy, or end().
  std::deque<Work>::iterator next_work() REQUIRES(mutex_);
  /// How many queued works could start now.
  int startable_work() REQUIRES(mutex_);

  const int max_threads_;
  const int max_per_owner_;
  const unsigned idle_ms_;
  const ThreadStarter start_thread_;

  Mutex mutex_;
  CondVar work_queued_{mutex_};
  CondVar thread_ended_{mutex_};
  std::deque<Work> queue_ GUARDED_BY(mutex_);
  std::map<const void*, int> busy_ GUARDED_BY(mutex_);  // owners with a thread busy
  int threads_ GUARDED_BY(mutex_) = 0;                  // started and not yet ended
  int idle_ GUARDED_BY(mutex_) = 0;                     // waiting for work
  bool stopping_ GUARDED_BY(mutex_) = false;
};

/// The agent's own bounds (see LookupPool).
constexpr int LOOKUP_THREADS = 8;
constexpr int LOOKUP_THREADS_PER_SERVICE = 2;
constexpr unsigned LOOKUP_IDLE_MS = 2000;

}  // namespace kiv
