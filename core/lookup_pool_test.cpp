#include "core/lookup_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread.h"

using namespace kiv;

namespace {

constexpr auto DEADLINE = std::chrono::seconds(20);

// What the works of a test did, in the order they did it, and a gate they
// may wait at until the test opens it.
class Record {
 public:
  void note(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
  }
  void wait_for_gate() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return open_; });
  }
  void open_gate() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  /// Waits until `count` events are noted; returns them.
  std::vector<std::string> wait_for(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, DEADLINE, [&] { return events_.size() >= count; });
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  bool open_ = false;
};

// An owner hangs at its limit of one thread; another owner's work runs meanwhile, in the
// order queued. The first thread cannot start: the next work tries again.
TEST(LookupPool, WorkRunsInOrderBesideAHangingOwner) {
  Record record;
  auto failures = std::make_shared<std::atomic<int>>(1);
  LookupPool pool(4, 1, 50, [failures](void (*body)(void*), void* argument) {
    return --*failures >= 0 ? 11 : start_detached_thread(body, argument);
  });
  const int hanging = 0, other = 0;
  for (int i = 0; i < 2; ++i) {
    pool.run(&hanging, [&record, i] {
      record.note("hang " + std::to_string(i));
      record.wait_for_gate();
    });
  }
  std::vector<std::string> in_order;
  for (int i = 0; i < 50; ++i) {
    in_order.push_back(std::to_string(i));
    pool.run(&other, [&record, i] { record.note(std::to_string(i)); });
  }
  std::vector<std::string> events = record.wait_for(51);
  record.open_gate();
  ASSERT_EQ(events.size(), 51u) << "another owner's work waited for a hanging owner";
  auto hang = std::find(events.begin(), events.end(), "hang 0");
  ASSERT_NE(hang, events.end()) << "the hanging owner's first work never ran";
  events.erase(hang);
  EXPECT_EQ(events, in_order) << "the hanging owner's second work ran, or out of order";
  EXPECT_EQ(record.wait_for(52).size(), 52u);
}

TEST(LookupPool, DestroyingWaitsForTheWorkRunning) {
  Record record;
  auto pool = std::make_unique<LookupPool>(1, 1, 1000);
  const int owner = 0;
  pool->run(&owner, [&record] {
    record.note("running");
    record.wait_for_gate();
    record.note("finished");
  });
  EXPECT_EQ(record.wait_for(1).size(), 1u);
  std::thread opener([&record] { record.open_gate(); });
  pool.reset();
  EXPECT_EQ(record.wait_for(0), (std::vector<std::string>{"running", "finished"}));
  opener.join();
}

}  // namespace
