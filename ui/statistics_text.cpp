#include "ui/statistics_text.h"

#include <cstdio>

#include "core/engine_counters.h"
#include "platform/clock.h"

namespace kiv {

StatisticsRow statistics_row(const ServiceRecord& row) {
  StatisticsRow texts;
  copy_field(texts.name, row.config().name);
  snprintf(texts.connections, sizeof texts.connections, "%u", row.connections.load());
  snprintf(texts.kilobytes, sizeof texts.kilobytes, "%u/%u", row.bytes_read.load() / 1024,
           row.bytes_written.load() / 1024);
  snprintf(texts.errors, sizeof texts.errors, "%u/%u/%u", row.errors_c.load(),
           row.errors_t.load(), row.errors_o.load());
  return texts;
}

UptimeText uptime_text(uint64_t seconds) {
  uint64_t days = seconds / 86400;
  uint64_t hours = seconds % 86400 / 3600;
  uint64_t minutes = seconds % 3600 / 60;
  UptimeText uptime;
  snprintf(uptime.text, sizeof uptime.text, "%llu Days %llu Hours %llu Min %llu Sec",
           static_cast<unsigned long long>(days), static_cast<unsigned long long>(hours),
           static_cast<unsigned long long>(minutes), static_cast<unsigned long long>(seconds % 60));
  return uptime;
}

UptimeText serviced_for() { return uptime_text(tick_count_ms() / 1000 - start_time()); }

}  // namespace kiv
