#include "core/event_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "tests/loopback.h"

using namespace kiv;

namespace {

// Loops live as long as the process; the tests share two.
EventLoop& loop(int which) {
  static EventLoop* loops[2] = {new EventLoop, new EventLoop};
  static const bool started = loops[0]->start() == 0 && loops[1]->start() == 0;
  if (!started) abort();
  return *loops[which];
}

struct Record {
  Mutex guard;
  std::vector<int> order GUARDED_BY(guard);
  std::vector<uint64_t> at_ms GUARDED_BY(guard);
  void note(int number) {
    MutexLock lock(guard);
    order.push_back(number);
    at_ms.push_back(tick_count_ms());
  }
  size_t count() {
    MutexLock lock(guard);
    return order.size();
  }
};

TEST(EventLoop, CallsPostedFromAnotherThreadRunInOrderOnTheLoop) {
  static Record record;
  constexpr int CALLS = 1000;
  std::atomic<bool> on_loop{true};
  for (int i = 0; i < CALLS; ++i) {
    loop(0).post([i, &on_loop] {
      if (!loop(0).on_loop_thread()) on_loop = false;
      record.note(i);
    });
  }
  ASSERT_TRUE(kiv_test::eventually([] { return record.count() == CALLS; }));
  EXPECT_TRUE(on_loop) << "a posted call ran off the loop's thread";
  MutexLock lock(record.guard);
  for (int i = 0; i < CALLS; ++i) ASSERT_EQ(record.order[i], i) << "posted calls out of order";
}

struct Timed {
  Record* record;
  int number;
};

void note_timed(void* argument) {
  Timed& timed = *static_cast<Timed*>(argument);
  timed.record->note(timed.number);
}

// A cancelled timer never runs.
TEST(EventLoop, TimersFireInDueOrderNeitherEarlyNorMuchLate) {
  static Record record;
  static Timed timed[4] = {{&record, 0}, {&record, 1}, {&record, 2}, {&record, 3}};
  static uint64_t asked_ms = 0;
  // Each loop keeps its own timers: the second loop's never wait for the first's.
  loop(1).post([] {
    asked_ms = tick_count_ms();
    LoopTimer cancelled = loop(1).call_later(50, note_timed, &timed[3]);
    loop(1).call_later(600, note_timed, &timed[2]);
    loop(1).call_later(200, note_timed, &timed[0]);
    loop(1).call_later(400, note_timed, &timed[1]);
    loop(1).cancel_timer(cancelled);
  });
  ASSERT_TRUE(kiv_test::eventually([] { return record.count() == 3; }));
  MutexLock lock(record.guard);
  EXPECT_EQ(record.order, (std::vector<int>{0, 1, 2})) << "in due order, the cancelled one never";
  const uint64_t due[3] = {200, 400, 600};
  for (int i = 0; i < 3; ++i) {
    EXPECT_GE(record.at_ms[i] - asked_ms, due[i]) << "timer " << i << " fired early";
    EXPECT_LT(record.at_ms[i] - asked_ms, due[i] + 2000) << "timer " << i << " fired late";
  }
}

// Two sockets ready in one round, the first of whose handlers frees the other.
struct Pair : SocketHandler {
  int ends[2] = {-1, -1};
  Pair* partner = nullptr;
};

std::atomic<int> pair_calls{0};

void pair_ready(SocketHandler* handler, Readiness) {
  Pair* pair = static_cast<Pair*>(handler);
  ++pair_calls;
  Pair* partner = pair->partner;
  if (partner == nullptr) return;
  pair->partner = nullptr;
  loop(0).stop_watching(partner->ends[0], partner);
  close(partner->ends[0]);
  close(partner->ends[1]);
  delete partner;
}

TEST(EventLoop, AHandlerFreedByAnotherInTheSameRoundIsNotCalled) {
  static Pair* pairs[2];
  for (Pair*& pair : pairs) {
    pair = new Pair;
    pair->ready = pair_ready;
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair->ends), 0);
  }
  pairs[0]->partner = pairs[1];
  pairs[1]->partner = pairs[0];
  loop(0).post([] {
    // Both become ready before the loop next waits: one round holds both.
    for (Pair* pair : pairs) {
      loop(0).watch(pair->ends[0], Readiness::Readable, pair);
      ASSERT_EQ(write(pair->ends[1], "x", 1), 1);
    }
  });
  ASSERT_TRUE(kiv_test::eventually([] { return pair_calls >= 1; }));
  // One more round on the loop: a freed handler would have been called by now.
  std::atomic<bool> round{false};
  loop(0).post([&round] { round = true; });
  ASSERT_TRUE(kiv_test::eventually([&round] { return round.load(); }));
  EXPECT_EQ(pair_calls, 1) << "the freed handler was called";
}

// A check that changes what another looks at wakes the loop from its own
// thread: the checks run once more, with nothing else to wake the loop.
TEST(EventLoop, AWakeFromTheLoopItselfRunsTheChecksOnceMore) {
  static std::atomic<int> runs{0};
  auto check = [](void*) {
    if (++runs == 1) loop(1).wake();
  };
  loop(1).check_after_each_wake(check, nullptr);
  loop(1).wake();
  EXPECT_TRUE(kiv_test::eventually([] { return runs >= 2; }))
      << "the loop slept through a wake from its own thread";
  loop(1).forget_check(check, nullptr);
}

}  // namespace

