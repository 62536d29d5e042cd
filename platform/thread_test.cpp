#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/loopback.h"

using namespace kiv;

constexpr int STARTERS = 8, WORKS = STARTERS * 300;
// Every third work starts a follower, as a relay starts its pumps. Never destroyed: threads may still run.
static std::atomic<int> runs[2 * WORKS], finished{0};

static void run_burst_work(void* argument) {
  intptr_t index = reinterpret_cast<intptr_t>(argument);
  ++runs[index];
  EXPECT_EQ(index < WORKS && index % 3 == 0 ? start_detached_thread(run_burst_work, (void*)(WORKS + index)) : 0, 0);
  ++finished;
}

TEST(DetachedThreads, EveryWorkStartedFromManyThreadsAtOnceRunsExactlyOnce) {
  std::vector<std::thread> starters;
  for (intptr_t s = 0; s < STARTERS; ++s)
    starters.emplace_back([s] { for (intptr_t i = s; i < WORKS; i += STARTERS) EXPECT_EQ(start_detached_thread(run_burst_work, (void*)i), 0); });
  for (std::thread& starter : starters) starter.join();
  ASSERT_TRUE(kiv_test::eventually([] { return finished == WORKS + (WORKS + 2) / 3; }, 60000)) << finished;
  for (int i = 0; i < 2 * WORKS; ++i) ASSERT_EQ(runs[i], i < WORKS || i % 3 == 0 ? 1 : 0) << "work " << i;
}
