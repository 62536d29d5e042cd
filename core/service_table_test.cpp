#include "core/service_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace kiv { namespace {

// Every field of a row written in round `round` says `round`, so a reader
// can tell a row replaced whole from a torn one.
ServiceConfig row_of_round(int round) {
  ServiceConfig row{};
  copy_field(row.name, ("R" + std::to_string(round % 1000)).c_str());
  copy_field(row.host, ("host-" + std::to_string(round)).c_str());
  copy_field(row.table_name, ("table-" + std::to_string(round)).c_str());
  row.port = row.remote_port = static_cast<uint16_t>(round);
  return row;
}

TEST(PublishServiceRows, ReadersSeeWholeRowsAndOnlyTheOldOrTheNewCount) {
  ServiceTable& table = service_table();
  ServiceConfig rows[MAX_SERVICES];
  for (ServiceConfig& row : rows) row = row_of_round(1);
  publish_service_rows(rows, 2);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, counts_between{0};
  std::thread reader([&] {
    while (!done) {
      int count = table.service_count;
      counts_between += count != 2 && count != 5;
      ServiceConfig row = table.rows[0].config(), whole = row_of_round(row.port);
      torn += row.remote_port != row.port || std::string(row.host) != whole.host ||
              std::string(row.table_name) != whole.table_name || std::string(row.name) != whole.name;
    }
  });
  for (int round = 2; round < 2000; ++round) {
    for (ServiceConfig& row : rows) row = row_of_round(round);
    publish_service_rows(rows, round % 2 == 0 ? 5 : 2);
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn + counts_between, 0) << torn << " torn rows";
  EXPECT_EQ(table.rows[4].config().port, 1998);
}

} }  // namespace kiv
