#include "core/service_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace kiv;

namespace {

ServiceConfig row_on_port(int port) {
  ServiceConfig row{};
  copy_field(row.name, "S");
  row.port = static_cast<uint16_t>(port);
  return row;
}

}  // namespace

// The count is published once, after the rows: a reader on another thread sees the old count
// or the new one, never one in between.
TEST(PublishServiceRows, ReadersSeeOnlyTheOldOrTheNewCount) {
  ServiceConfig rows[MAX_SERVICES] = {};
  publish_service_rows(rows, 2);
  std::atomic<bool> done{false};
  int wrong = 0;
  std::thread reader([&] {
    while (!done) {
      int count = service_table().service_count;
      if (count != 2 && count != 5) ++wrong;
    }
  });
  // Long enough for the two threads to run side by side however they are scheduled.
  for (int round = 0; round < 100000; ++round) {
    std::fill(rows, rows + MAX_SERVICES, row_on_port(round));
    publish_service_rows(rows, round % 2 == 0 ? 5 : 2);
  }
  done = true;
  reader.join();
  EXPECT_EQ(wrong, 0);
}

// A reset publishes new rows; what the rows have counted since the start stays theirs.
TEST(PublishServiceRows, RowsKeepTheirStateAndCounters) {
  ServiceRecord& row = service_table().rows[1];
  row.state = SVC_ACTIVE;
  row.bytes_read = 1234;
  const ServiceConfig rows[] = {row_on_port(80), row_on_port(81)};
  publish_service_rows(rows, 2);
  EXPECT_EQ(row.config().port, 81);
  EXPECT_EQ(row.state, SVC_ACTIVE);
  EXPECT_EQ(row.bytes_read, 1234u);
}
