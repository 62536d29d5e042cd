#include "ui/statistics_text.h"

#include <gtest/gtest.h>

#include "ui/status_view.h"

using namespace kiv;

// Kilobytes whole, rounded down; counters over their whole unsigned range.
TEST(StatisticsTexts, CountersShowWholeKilobytesAndTheirWholeUnsignedRange) {
  ServiceRecord row;
  row.bytes_read = 5000;
  row.bytes_written = 1023;
  row.connections = 4294967295u;
  row.errors_t = 2;
  row.errors_o = 4294967295u;
  StatisticsRow texts = statistics_row(row);
  EXPECT_STREQ(texts.kilobytes, "4/0") << "read/written, each in whole kilobytes";
  EXPECT_STREQ(texts.connections, "4294967295");
  EXPECT_STREQ(texts.errors, "0/2/4294967295") << "C/T/O";
}

TEST(StatisticsTexts, UptimeCountsDaysBeyondAYear) {
  EXPECT_STREQ(uptime_text(400 * 86400 + 86399).text, "400 Days 23 Hours 59 Min 59 Sec");
}

TEST(StatusTexts, RowShowsTheNamePaddedAndThePortInParentheses) {
  EXPECT_STREQ(status_row_text(ServiceConfig{"MAIL", "", 40000, 0, "", 0, 0}).text,
               "MAIL  (40000)");
}
