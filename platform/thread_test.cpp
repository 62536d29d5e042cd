// Detached threads started in bursts from many threads at once, as the
// listeners and relays of a busy agent start them.
#include "platform/thread.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "tests/loopback.h"

namespace kiv { namespace {

constexpr int STARTERS = 8, WORKS = STARTERS * 300;
// Each work counts its runs; every third starts a follower, as a relay starts
// its pumps. Never destroyed: threads may still be winding down.
std::atomic<int> runs[2 * WORKS], finished{0};

void run_burst_work(void* argument) {
  intptr_t index = reinterpret_cast<intptr_t>(argument);
  ++runs[index];
  EXPECT_EQ(index < WORKS && index % 3 == 0 ? start_detached_thread(run_burst_work, (void*)(WORKS + index)) : 0, 0);
  ++finished;
}

TEST(DetachedThreads, EveryWorkStartedFromManyThreadsAtOnceRunsExactlyOnce) {
  std::vector<std::thread> starters;
  for (intptr_t s = 0; s < STARTERS; ++s) {
    starters.emplace_back([s] {
      for (intptr_t i = s; i < WORKS; i += STARTERS) EXPECT_EQ(start_detached_thread(run_burst_work, (void*)i), 0);
    });
  }
  for (std::thread& starter : starters) starter.join();
  constexpr int all = WORKS + (WORKS + 2) / 3;
  ASSERT_TRUE(kiv_test::eventually([] { return finished == all; }, 60000)) << finished << " of " << all;
  for (int i = 0; i < 2 * WORKS; ++i) ASSERT_EQ(runs[i], i < WORKS || i % 3 == 0 ? 1 : 0) << "work " << i;
}

std::atomic<bool> released{false};
std::atomic<long> worker_ids[20];

void wait_for_release(void* argument) {
  worker_ids[reinterpret_cast<intptr_t>(argument)] = syscall(SYS_gettid);
  while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Threads that ran works, spares among them, park a while for the next work;
// with none coming, every one of them ends.
TEST(DetachedThreads, ThreadsWithNoMoreWorkEnd) {
  make_spare_threads(3);
  for (intptr_t i = 0; i < 20; ++i) ASSERT_EQ(start_detached_thread(wait_for_release, (void*)i), 0);
  for (std::atomic<long>& id : worker_ids) ASSERT_TRUE(kiv_test::eventually([&id] { return id != 0; }));
  released = true;
  for (std::atomic<long>& id : worker_ids) {
    std::string task = "/proc/self/task/" + std::to_string(id.load());
    EXPECT_TRUE(kiv_test::eventually([&task] { return !std::filesystem::exists(task); })) << task;
  }
}

} }  // namespace kiv
