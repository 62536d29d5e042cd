#include "core/timestamp.h"

#include <gtest/gtest.h>

using namespace kiv;

// Every field keeps its place: one-digit days, hours, minutes and seconds are zero-padded, never
// blank-padded as asctime's day is; names and numbers count from where std::tm counts.
TEST(Timestamp, EachFieldHasItsFixedWidthAndPlace) {
  std::tm when = {};
  when.tm_year = 1995 - 1900;
  when.tm_mon = 0;
  when.tm_mday = 2;
  when.tm_wday = 1;
  when.tm_hour = 3;
  when.tm_min = 4;
  when.tm_sec = 5;
  char text[TIMESTAMP_LENGTH + 1];
  format_timestamp(when, text);
  EXPECT_STREQ(text, "Mon Jan 02 03:04:05 1995");
}
