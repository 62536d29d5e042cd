#include "core/lookup_pool.h"

#include <chrono>
#include <utility>

#include "platform/thread.h"

namespace kiv {

LookupPool::LookupPool(int max_threads, int max_per_owner, unsigned idle_ms,
                       ThreadStarter start_thread)
    : max_threads_(max_threads),
      max_per_owner_(max_per_owner),
      idle_ms_(idle_ms),
      start_thread_(start_thread ? std::move(start_thread) : start_detached_thread) {}

LookupPool::~LookupPool() {
  std::deque<Work> dropped;
  MutexLock lock(mutex_);
  stopping_ = true;
  dropped.swap(queue_);
  work_queued_.signal_all();
  while (threads_ > 0) thread_ended_.wait();
}

void LookupPool::run(const void* owner, std::function<void()> work) {
  MutexLock lock(mutex_);
  queue_.push_back(Work{owner, std::move(work)});
  add_threads();
  work_queued_.signal();
}

void LookupPool::run_thread(void* pool) { static_cast<LookupPool*>(pool)->serve(); }

void LookupPool::serve() {
  using Clock = std::chrono::steady_clock;
  mutex_.lock();
  --idle_;  // counted idle from its start: see add_threads
  for (;;) {
    auto next = next_work();
    if (next == queue_.end() && !stopping_) {
      ++idle_;
      const auto give_up = Clock::now() + std::chrono::milliseconds(idle_ms_);
      for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(give_up - Clock::now());
        if (left.count() <= 0) break;
        work_queued_.wait_for_ms(static_cast<unsigned>(left.count()));
        next = next_work();
        if (next != queue_.end() || stopping_) break;
      }
      --idle_;
    }
    if (next == queue_.end() || stopping_) break;
    Work work = std::move(*next);
    queue_.erase(next);
    ++busy_[work.owner];
    add_threads();  // for work that waits for a thread that could not start
    mutex_.unlock();
    work.run();
    work.run = nullptr;  // what the work holds goes before the lock is taken
    mutex_.lock();
    if (--busy_[work.owner] == 0) busy_.erase(work.owner);
  }
  --threads_;
  thread_ended_.signal_all();
  mutex_.unlock();  // the last this thread touches of the pool
}

std::deque<LookupPool::Work>::iterator LookupPool::next_work() {
  for (auto work = queue_.begin(); work != queue_.end(); ++work) {
    auto busy = busy_.find(work->owner);
    if (busy == busy_.end() || busy->second < max_per_owner_) return work;
  }
  return queue_.end();
}

int LookupPool::startable_work() {
  std::map<const void*, int> taken = busy_;
  int startable = 0;
  for (const Work& work : queue_) {
    if (taken[work.owner] < max_per_owner_) {
      ++taken[work.owner];
      ++startable;
    }
  }
  return startable;
}

void LookupPool::add_threads() {
  if (stopping_) return;
  int wanted = startable_work();
  while (threads_ < max_threads_ && wanted > idle_) {
    ++threads_;
    ++idle_;  // until it takes work: it is the one this work waits for
    if (start_thread_(run_thread, this) == 0) continue;
    --threads_;
    --idle_;
    return;
  }
}

}  // namespace kiv
