#include "core/worker_pool.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "core/event_loop.h"
#include "platform/no_destructor.h"
#include "platform/thread.h"

namespace kiv {

namespace {

// How long the pool waits before it tries again to start a worker that
// the system refused.
constexpr unsigned START_RETRY_MS = 100;

struct Work {
  void (*work)(void*);
  void* argument;
};

struct Pool {
  std::mutex guard;
  std::condition_variable work_queued;
  std::deque<Work> queue;   // guarded by guard
  int workers = 0;          // guarded by guard; running, busy or idle
  int idle = 0;             // guarded by guard; waiting for work
  bool retry_due = false;   // guarded by guard; a retry timer is set
};

Pool& pool() {
  static NoDestructor<Pool> pool;
  return *pool;
}

void run_worker(void*) {
  Pool& pool = kiv::pool();
  std::unique_lock<std::mutex> lock(pool.guard);
  --pool.idle;  // counted idle from its start: see add_workers
  for (;;) {
    if (pool.queue.empty()) {
      ++pool.idle;
      bool woken = pool.work_queued.wait_for(lock, std::chrono::milliseconds(WORKER_IDLE_MS),
                                             [&pool] { return !pool.queue.empty(); });
      --pool.idle;
      if (!woken) break;
    }
    Work next = pool.queue.front();
    pool.queue.pop_front();
    lock.unlock();
    next.work(next.argument);
    lock.lock();
  }
  --pool.workers;
}

void retry_workers(void*);

// Called with the guard held: starts a worker for queued work that the idle
// ones will not take, as far as the bound allows.
void add_workers(Pool& pool) {
  while (pool.workers < MAX_WORKERS && static_cast<int>(pool.queue.size()) > pool.idle) {
    ++pool.workers;
    ++pool.idle;  // until it takes work: it is the one this work waits for
    if (start_detached_thread(run_worker, nullptr) == 0) continue;
    --pool.workers;
    --pool.idle;
    if (pool.workers == 0 && !pool.retry_due) {
      pool.retry_due = true;
      call_later(START_RETRY_MS, retry_workers, nullptr);
    }
    return;
  }
}

void retry_workers(void*) {
  Pool& pool = kiv::pool();
  std::lock_guard<std::mutex> lock(pool.guard);
  pool.retry_due = false;
  add_workers(pool);
}

}  // namespace

void run_on_worker(void (*work)(void*), void* argument) {
  Pool& pool = kiv::pool();
  {
    std::lock_guard<std::mutex> lock(pool.guard);
    pool.queue.push_back(Work{work, argument});
    add_workers(pool);
  }
  pool.work_queued.notify_one();
}

bool work_is_waiting() {
  Pool& pool = kiv::pool();
  std::lock_guard<std::mutex> lock(pool.guard);
  return pool.workers == MAX_WORKERS && pool.queue.size() > static_cast<size_t>(pool.idle);
}

}  // namespace kiv
