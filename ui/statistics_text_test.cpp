// The Statistics dialog's texts and the status window's rows, whatever
// front end draws them.
#include "ui/statistics_text.h"

#include <gtest/gtest.h>

#include <string>

#include "ui/status_view.h"

namespace kiv { namespace {

TEST(StatisticsText, CountersInWholeKilobytesAndUnsignedUptimeInDaysHoursMinutesSeconds) {
  ServiceRecord row;
  ServiceConfig config{};
  copy_field(config.name, "MAIL");
  row.set_config(config);
  row.connections = row.errors_o = 4294967295u;
  row.bytes_read = 5000, row.bytes_written = 1023, row.errors_t = 2;
  StatisticsRow texts = statistics_row(row);
  EXPECT_EQ(std::string(texts.name) + "|" + texts.connections + "|" + texts.kilobytes + "|" + texts.errors,
            "MAIL|4294967295|4/0|0/2/4294967295");
  const std::pair<uint64_t, const char*> uptimes[] = {
      {59, "0 Days 0 Hours 0 Min 59 Sec"}, {86399, "0 Days 23 Hours 59 Min 59 Sec"},
      {90061, "1 Days 1 Hours 1 Min 1 Sec"}, {400 * 86400ull + 7, "400 Days 0 Hours 0 Min 7 Sec"}};
  for (const auto& [seconds, text] : uptimes) EXPECT_STREQ(uptime_text(seconds).text, text);
}

TEST(StatusView, RowTextPadsTheNameAndShowsThePortUnsigned) {
  const std::pair<const char*, const char*> cases[] = {{"MAIL", "MAIL  (110)"}, {"ABCDE", "ABCDE (110)"},
                                                       {"", "      (40000)"}};
  for (const auto& [name, text] : cases) {
    ServiceConfig row{};
    copy_field(row.name, name);
    row.port = *name ? 110 : 40000;
    EXPECT_STREQ(status_row_text(row).text, text);
  }
  Rgb colour{};
  EXPECT_FALSE(lamp_colour(199, colour));
  ASSERT_TRUE(lamp_colour(SVC_DISABLED, colour));
  EXPECT_EQ(colour.blue, 255);
}

} }  // namespace kiv
