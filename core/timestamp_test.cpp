#include "core/timestamp.h"

#include <gtest/gtest.h>

#include <string>

using namespace kiv;

namespace {

struct StampCase {
  int year, month, day, weekday, hour, minute, second;  // month 0 to 11, weekday 0 = Sunday
  const char* stamp;
};

std::string stamp_of(const StampCase& c) {
  std::tm when = {};
  when.tm_year = c.year - 1900;
  when.tm_mon = c.month;
  when.tm_mday = c.day;
  when.tm_wday = c.weekday;
  when.tm_hour = c.hour;
  when.tm_min = c.minute;
  when.tm_sec = c.second;
  char text[TIMESTAMP_LENGTH + 1];
  format_timestamp(when, text);
  return text;
}

}  // namespace

// Every field keeps its place: one-digit days, hours, minutes and seconds are
// zero-padded, never blank-padded as asctime's day is.
TEST(Timestamp, EachFieldHasItsFixedWidthAndPlace) {
  const StampCase cases[] = {
      {1995, 0, 2, 1, 3, 4, 5, "Mon Jan 02 03:04:05 1995"},
      {2026, 11, 7, 1, 0, 0, 0, "Mon Dec 07 00:00:00 2026"},
      {2000, 1, 29, 2, 23, 59, 59, "Tue Feb 29 23:59:59 2000"},
      {2024, 8, 10, 2, 10, 10, 10, "Tue Sep 10 10:10:10 2024"},
      {1970, 6, 31, 5, 9, 0, 9, "Fri Jul 31 09:00:09 1970"},
      {2038, 3, 1, 4, 12, 30, 0, "Thu Apr 01 12:30:00 2038"},
      {2010, 4, 9, 0, 1, 2, 3, "Sun May 09 01:02:03 2010"},
      {2001, 5, 30, 6, 20, 5, 50, "Sat Jun 30 20:05:50 2001"},
      {2011, 7, 3, 3, 7, 7, 7, "Wed Aug 03 07:07:07 2011"},
      {1999, 9, 21, 4, 18, 45, 1, "Thu Oct 21 18:45:01 1999"},
      {1996, 10, 15, 5, 6, 9, 0, "Fri Nov 15 06:09:00 1996"},
      {2030, 2, 5, 2, 11, 11, 11, "Tue Mar 05 11:11:11 2030"},
  };
  for (const StampCase& c : cases) EXPECT_EQ(stamp_of(c), c.stamp);
}

