#include "core/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/event_loop.h"
#include "platform/clock.h"
#include "tests/loopback.h"

using namespace kiv;

namespace {

constexpr int STARTERS = 4, WORKS = STARTERS * 500;
// Never destroyed: workers may still run after the test.
std::atomic<int> runs[WORKS], finished{0}, busy{0}, most_busy{0};

void run_work(void* argument) {
  int now_busy = ++busy;
  int seen = most_busy;
  while (now_busy > seen && !most_busy.compare_exchange_weak(seen, now_busy)) {
  }
  ++runs[reinterpret_cast<intptr_t>(argument)];
  if (reinterpret_cast<intptr_t>(argument) % 100 == 0) sleep_ms(5);
  --busy;
  ++finished;
}

TEST(WorkerPool, EveryWorkQueuedFromManyThreadsRunsOnceOnAtMostMaxWorkers) {
  ASSERT_EQ(start_event_loop(), 0);
  std::vector<std::thread> starters;
  for (intptr_t s = 0; s < STARTERS; ++s) {
    starters.emplace_back([s] {
      for (intptr_t i = s; i < WORKS; i += STARTERS) run_on_worker(run_work, (void*)i);
    });
  }
  for (std::thread& starter : starters) starter.join();
  ASSERT_TRUE(kiv_test::eventually([] { return finished == WORKS; }, 60000)) << finished;
  for (int i = 0; i < WORKS; ++i) ASSERT_EQ(runs[i], 1) << "work " << i;
  EXPECT_LE(most_busy, MAX_WORKERS);
}

}  // namespace
