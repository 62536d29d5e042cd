#include "ui/statistics_text.h"

#include <gtest/gtest.h>

#include "ui/status_view.h"

using namespace kiv;

TEST(StatusTexts, CountersInWholeKilobytesUptimeInDaysHoursMinutesSecondsAndPaddedRows) {
  ServiceRecord row;
  row.connections = row.errors_o = 4294967295u, row.bytes_read = 5000, row.bytes_written = 1023, row.errors_t = 2;
  StatisticsRow texts = statistics_row(row);
  EXPECT_EQ(std::string(texts.connections) + "|" + texts.kilobytes + "|" + texts.errors, "4294967295|4/0|0/2/4294967295");
  EXPECT_STREQ(uptime_text(400 * 86400 + 86399).text, "400 Days 23 Hours 59 Min 59 Sec");
  EXPECT_STREQ(status_row_text(ServiceConfig{"MAIL", "", 40000, 0, "", 0, 0}).text, "MAIL  (40000)");
}
