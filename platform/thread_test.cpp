// Detached threads started in bursts from many threads at once, as the
// listeners and relays of a busy agent start them.

#include "platform/thread.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/loopback.h"

namespace kiv {
namespace {

constexpr int STARTERS = 8;
constexpr int WORKS = STARTERS * 300;

// Each work counts its own runs; every third one starts a follower, as a
// relay starts its pumps.
struct Burst {
  std::atomic<int> runs[2 * WORKS] = {};
  std::atomic<int> finished{0};
};
Burst burst;  // outlives any thread still winding down after the test

void run_burst_work(void* argument) {
  int index = static_cast<int>(reinterpret_cast<intptr_t>(argument));
  ++burst.runs[index];
  if (index < WORKS && index % 3 == 0) {
    EXPECT_EQ(start_detached_thread(run_burst_work, reinterpret_cast<void*>(intptr_t{WORKS + index})), 0);
  }
  ++burst.finished;
}

TEST(DetachedThreads, EveryWorkStartedFromManyThreadsAtOnceRunsExactlyOnce) {
  std::vector<std::thread> starters;
  for (int s = 0; s < STARTERS; ++s) {
    starters.emplace_back([s] {
      for (int i = s; i < WORKS; i += STARTERS) {
        EXPECT_EQ(start_detached_thread(run_burst_work, reinterpret_cast<void*>(intptr_t{i})), 0);
      }
    });
  }
  for (std::thread& starter : starters) starter.join();
  constexpr int followers = (WORKS + 2) / 3;
  ASSERT_TRUE(kiv_test::eventually([] { return burst.finished == WORKS + followers; }, 60000))
      << burst.finished << " of " << WORKS + followers << " works finished";
  for (int i = 0; i < WORKS; ++i) {
    ASSERT_EQ(burst.runs[i], 1) << "work " << i;
    ASSERT_EQ(burst.runs[WORKS + i], i % 3 == 0 ? 1 : 0) << "follower of work " << i;
  }
}

std::atomic<bool> released{false};
std::atomic<int> waiting{0};
std::vector<std::atomic<long>> worker_ids(20);

void wait_for_release(void* argument) {
  worker_ids[reinterpret_cast<intptr_t>(argument)] = syscall(SYS_gettid);
  ++waiting;
  while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Threads that ran works park for a while for the next work; with none
// coming, every one of them ends, whether it was made for this test or not.
TEST(DetachedThreads, ThreadsWithNoMoreWorkEnd) {
  make_spare_threads(3);
  for (intptr_t i = 0; i < 20; ++i) ASSERT_EQ(start_detached_thread(wait_for_release, reinterpret_cast<void*>(i)), 0);
  ASSERT_TRUE(kiv_test::eventually([] { return waiting == 20; }));
  released = true;
  for (std::atomic<long>& id : worker_ids) {
    std::string task = "/proc/self/task/" + std::to_string(id.load());
    EXPECT_TRUE(kiv_test::eventually([&task] { return !std::filesystem::exists(task); })) << task;
  }
}

}  // namespace
}  // namespace kiv
