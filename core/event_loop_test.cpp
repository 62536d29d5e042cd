#include "core/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "tests/loopback.h"

using namespace kiv;

namespace {

struct Fired {
  std::mutex guard;
  std::vector<int> order;  // guarded by guard
  uint64_t last_ms = 0;    // guarded by guard
};

struct Timed {
  Fired* fired;
  int number;
};

void note_fired(void* argument) {
  Timed& timed = *static_cast<Timed*>(argument);
  std::lock_guard<std::mutex> lock(timed.fired->guard);
  timed.fired->order.push_back(timed.number);
  timed.fired->last_ms = tick_count_ms();
}

size_t fired_count(Fired& fired) {
  std::lock_guard<std::mutex> lock(fired.guard);
  return fired.order.size();
}

TEST(EventLoop, TimersRunInTheOrderTheyAreDueAndNeverEarly) {
  ASSERT_EQ(start_event_loop(), 0);
  static Fired fired;  // the loop may outlive the test
  static Timed timed[3] = {{&fired, 0}, {&fired, 1}, {&fired, 2}};
  const uint64_t asked = tick_count_ms();
  call_later(300, note_fired, &timed[2]);
  call_later(100, note_fired, &timed[0]);
  call_later(200, note_fired, &timed[1]);
  ASSERT_TRUE(kiv_test::eventually([] { return fired_count(fired) == 3; }));
  std::lock_guard<std::mutex> lock(fired.guard);
  EXPECT_EQ(fired.order, (std::vector<int>{0, 1, 2}));
  EXPECT_GE(fired.last_ms - asked, 300u) << "the last timer fired before it was due";
}

TEST(EventLoop, ACancelledTimerNeverRuns) {
  ASSERT_EQ(start_event_loop(), 0);
  static Fired fired;
  static Timed cancelled{&fired, 0}, kept{&fired, 1};
  LoopTimer timer = call_later(50, note_fired, &cancelled);
  EXPECT_TRUE(cancel_timer(timer));
  call_later(100, note_fired, &kept);
  ASSERT_TRUE(kiv_test::eventually([] { return fired_count(fired) == 1; }));
  std::lock_guard<std::mutex> lock(fired.guard);
  EXPECT_EQ(fired.order, std::vector<int>{1});
  EXPECT_FALSE(cancel_timer(timer)) << "a timer cancelled once is gone";
}

}  // namespace
