#include "platform/thread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/system_thread.h"

namespace kiv {

namespace {

// How long a parked thread waits for new work before it ends.
constexpr auto PARKED_LIFETIME = std::chrono::seconds(2);
// Threads parked at once beyond this many end at once instead.
constexpr int MAX_PARKED = 64;

struct Work {
  void (*body)(void*);
  void* argument;
};

// ParkedThreads hands new work to threads that have finished theirs.
struct ParkedThreads {
  std::mutex guard;
  std::condition_variable work_handed_over;
  std::deque<Work> handed_over;  // guarded by guard; each promised to a parked thread
  int unpromised = 0;            // guarded by guard; parked threads with no work promised
};

// Never destroyed: parked threads may still wait on it while the process exits.
ParkedThreads& parked_threads() {
  static ParkedThreads* parked = new ParkedThreads;
  return *parked;
}

// Waits for the next work handed to a parked thread; false when the thread
// should end instead.
bool park(Work& work) {
  ParkedThreads& parked = parked_threads();
  std::unique_lock<std::mutex> lock(parked.guard);
  if (parked.unpromised >= MAX_PARKED) return false;
  ++parked.unpromised;
  if (!parked.work_handed_over.wait_for(lock, PARKED_LIFETIME,
                                        [&parked] { return !parked.handed_over.empty(); })) {
    --parked.unpromised;
    return false;
  }
  // Work promised to another parked thread may be taken here; that thread
  // then stays parked in this one's place.
  work = parked.handed_over.front();
  parked.handed_over.pop_front();
  return true;
}

}  // namespace

void run_new_thread(void* first_work) {
  Work work = *static_cast<Work*>(first_work);
  delete static_cast<Work*>(first_work);
  do {
    work.body(work.argument);
  } while (park(work));
}

namespace {

int create_thread(const Work& work) {
  auto* first_work = new Work(work);
  int error = start_system_thread(first_work);
  if (error != 0) delete first_work;
  return error;
}

bool hand_to_parked_thread(const Work& work) {
  ParkedThreads& parked = parked_threads();
  {
    std::lock_guard<std::mutex> lock(parked.guard);
    if (parked.unpromised == 0) return false;
    --parked.unpromised;
    parked.handed_over.push_back(work);
  }
  // Woken after the guard is free, the parked thread need not wait for it.
  parked.work_handed_over.notify_one();
  return true;
}

}  // namespace

int start_detached_thread(void (*body)(void*), void* argument) {
  if (hand_to_parked_thread(Work{body, argument})) return 0;
  return create_thread(Work{body, argument});
}

}  // namespace kiv
