// Detached threads started in bursts from many threads at once, as the
// listeners and relays of a busy agent start them.

#include "platform/thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv {
namespace {

using kiv_test::eventually;
using kiv_test::thread_total;

constexpr int STARTERS = 8;
constexpr int WORKS_PER_STARTER = 300;
constexpr int WORKS = STARTERS * WORKS_PER_STARTER;

// Each work counts its own runs; every third one starts a follower, as a
// relay starts its pumps.
struct Burst {
  std::atomic<int> runs[2 * WORKS] = {};
  std::atomic<int> finished{0};
};

struct BurstWork {
  Burst* burst;
  int index;
};

void run_burst_work(void* argument) {
  BurstWork work = *static_cast<BurstWork*>(argument);
  delete static_cast<BurstWork*>(argument);
  ++work.burst->runs[work.index];
  if (work.index < WORKS && work.index % 3 == 0) {
    ASSERT_EQ(start_detached_thread(run_burst_work, new BurstWork{work.burst, WORKS + work.index}), 0);
  }
  ++work.burst->finished;
}

TEST(DetachedThreads, EveryWorkStartedFromManyThreadsAtOnceRunsExactlyOnce) {
  static Burst burst;  // outlives any thread still winding down after the test
  std::vector<std::thread> starters;
  for (int s = 0; s < STARTERS; ++s) {
    starters.emplace_back([s] {
      for (int i = 0; i < WORKS_PER_STARTER; ++i) {
        int index = s * WORKS_PER_STARTER + i;
        ASSERT_EQ(start_detached_thread(run_burst_work, new BurstWork{&burst, index}), 0);
        if (i % 50 == 0) std::this_thread::yield();
      }
    });
  }
  for (std::thread& starter : starters) starter.join();
  static constexpr int followers = (WORKS + 2) / 3;
  ASSERT_TRUE(eventually([] { return burst.finished == WORKS + followers; }, 60000))
      << burst.finished << " of " << WORKS + followers << " works finished";
  for (int i = 0; i < WORKS; ++i) {
    ASSERT_EQ(burst.runs[i], 1) << "work " << i;
    ASSERT_EQ(burst.runs[WORKS + i], i % 3 == 0 ? 1 : 0) << "follower of work " << i;
  }
}

std::atomic<int> waiting_works{0};
std::atomic<bool> works_released{false};

void wait_for_release(void*) {
  ++waiting_works;
  while (!works_released) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  --waiting_works;
}

TEST(DetachedThreads, SparesTakeTheNextWorksAndParkedThreadsEndWhenNoWorkComes) {
  const int at_rest = thread_total(getpid());
  make_spare_threads(3);
  // A sanitizer's runtime may start a helper thread of its own with the first.
  const int with_spares = thread_total(getpid());
  ASSERT_GE(with_spares, at_rest + 3);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(start_detached_thread(wait_for_release, nullptr), 0);
  ASSERT_TRUE(eventually([] { return waiting_works == 3; }));
  EXPECT_LE(thread_total(getpid()), with_spares) << "the works ran on the spares";
  works_released = true;
  ASSERT_TRUE(eventually([] { return waiting_works == 0; }));
  EXPECT_TRUE(eventually([&] { return thread_total(getpid()) <= with_spares - 3; }))
      << thread_total(getpid()) << " threads, " << with_spares - 3 << " without the spares";
}

}  // namespace
}  // namespace kiv
