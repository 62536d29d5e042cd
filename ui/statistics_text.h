#pragma once
// The texts of the Statistics dialog: each service's counters and the time
// the agent has served.

#include <cstdint>

#include "core/service_table.h"

namespace kiv {

/// StatisticsRow is what the Statistics dialog shows of one service.
struct StatisticsRow {
  char name[NAME_CAPACITY + 1];
  char connections[16];  // "%u"
  char kilobytes[32];    // read/written in whole kilobytes: "%u/%u"
  char errors[48];       // "%u/%u/%u", C/T/O
};

/// The texts of `row` as they are now.
StatisticsRow statistics_row(const ServiceRecord& row);

/// "D Days H Hours M Min S Sec" for `seconds`.
struct UptimeText {
  char text[64];
};
UptimeText uptime_text(uint64_t seconds);

/// The uptime text of the agent now: the seconds since its start time.
UptimeText serviced_for();

}  // namespace kiv
