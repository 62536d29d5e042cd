#include "core/event_log_limiter.h"

#include <gtest/gtest.h>

using namespace kiv;

// One kind's lines at the times given: which are logged, and with how many left out before them.
TEST(RepeatLimiter, TheFirstLineOfAKindThenAtMostOneASecondWithTheCountLeftOut) {
  RepeatLimiter limiter;
  const struct {
    const char* kind;
    uint64_t now_ms;
    bool logged;
    unsigned long left_out;
  } lines[] = {{"S Refused", 5000, true, 0},  {"S Refused", 5000, false, 0},
               {"S Refused", 5999, false, 0}, {"T Refused", 5999, true, 0},
               {"S Refused", 6000, true, 2},  {"S Refused", 6500, false, 0},
               {"S Refused", 9000, true, 1},  {"S Refused", 10500, true, 0}};
  for (const auto& line : lines) {
    unsigned long left_out = 99;
    EXPECT_EQ(limiter.admit(line.kind, line.now_ms, left_out), line.logged)
        << line.kind << " at " << line.now_ms;
    if (line.logged) {
      EXPECT_EQ(left_out, line.left_out) << line.kind << " at " << line.now_ms;
    }
  }
}
