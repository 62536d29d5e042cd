// The Statistics dialog's texts and the status window's rows, whatever
// front end draws them.

#include "ui/statistics_text.h"

#include <gtest/gtest.h>

#include <string>

#include "ui/status_view.h"

namespace kiv {
namespace {

TEST(StatisticsText, CountersInWholeKilobytesAndUnsigned) {
  ServiceRecord row;
  ServiceConfig config{};
  copy_field(config.name, "MAIL");
  row.set_config(config);
  row.connections = 4294967295u;
  row.bytes_read = 5000;
  row.bytes_written = 1023;
  row.errors_t = 2;
  row.errors_o = 4294967295u;
  StatisticsRow texts = statistics_row(row);
  EXPECT_STREQ(texts.name, "MAIL");
  EXPECT_STREQ(texts.connections, "4294967295");
  EXPECT_STREQ(texts.kilobytes, "4/0");
  EXPECT_STREQ(texts.errors, "0/2/4294967295");
}

TEST(StatisticsText, UptimeInDaysHoursMinutesSeconds) {
  const struct {
    uint64_t seconds;
    const char* text;
  } cases[] = {{0, "0 Days 0 Hours 0 Min 0 Sec"},
               {59, "0 Days 0 Hours 0 Min 59 Sec"},
               {3600, "0 Days 1 Hours 0 Min 0 Sec"},
               {86399, "0 Days 23 Hours 59 Min 59 Sec"},
               {90061, "1 Days 1 Hours 1 Min 1 Sec"},
               {400 * 86400ull + 7, "400 Days 0 Hours 0 Min 7 Sec"}};
  for (const auto& c : cases) EXPECT_STREQ(uptime_text(c.seconds).text, c.text);
}

TEST(StatusView, RowTextPadsTheNameAndShowsThePortUnsigned) {
  const struct {
    const char* name;
    uint16_t port;
    const char* text;
  } cases[] = {{"MAIL", 110, "MAIL  (110)"}, {"ABCDE", 80, "ABCDE (80)"},
               {"", 40000, "      (40000)"}};
  for (const auto& c : cases) {
    ServiceConfig row{};
    copy_field(row.name, c.name);
    row.port = c.port;
    EXPECT_STREQ(status_row_text(row).text, c.text);
  }
  Rgb colour{};
  EXPECT_FALSE(lamp_colour(199, colour));
  ASSERT_TRUE(lamp_colour(SVC_DISABLED, colour));
  EXPECT_EQ(colour.blue, 255);
}

}  // namespace
}  // namespace kiv
