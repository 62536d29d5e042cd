#include "core/service_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace kiv {
namespace {

// Every field of a row written in round `round` says `round`, so a reader
// can tell a row replaced whole from a torn one.
ServiceConfig row_of_round(int round) {
  ServiceConfig row{};
  snprintf(row.name, sizeof row.name, "R%d", round % 1000);
  snprintf(row.host, sizeof row.host, "host-%d", round);
  snprintf(row.table_name, sizeof row.table_name, "table-%d", round);
  row.port = static_cast<uint16_t>(round);
  row.remote_port = static_cast<uint16_t>(round);
  row.enabled = 1;
  return row;
}

bool is_whole(const ServiceConfig& row) {
  int round = row.port;
  ServiceConfig expected = row_of_round(round);
  return row.remote_port == round && strcmp(row.host, expected.host) == 0 &&
         strcmp(row.table_name, expected.table_name) == 0 && strcmp(row.name, expected.name) == 0;
}

TEST(PublishServiceRows, ReadersSeeWholeRowsAndOnlyTheOldOrTheNewCount) {
  ServiceTable& table = service_table();
  ServiceConfig rows[MAX_SERVICES];
  for (int r = 0; r < MAX_SERVICES; ++r) rows[r] = row_of_round(1);
  publish_service_rows(rows, 2);

  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> counts_between{0};
  std::thread reader([&] {
    while (!done) {
      int count = table.service_count;
      if (count != 2 && count != 5) ++counts_between;
      if (!is_whole(table.rows[0].config())) ++torn;
    }
  });
  for (int round = 2; round < 2000; ++round) {
    for (int r = 0; r < MAX_SERVICES; ++r) rows[r] = row_of_round(round);
    publish_service_rows(rows, round % 2 == 0 ? 5 : 2);
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(counts_between, 0);
  EXPECT_TRUE(is_whole(table.rows[4].config()));
  EXPECT_EQ(table.rows[4].config().port, 1998);
}

}  // namespace
}  // namespace kiv
