#include "core/service_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace kiv;

// Every field of a row of round `round` says `round`: a reader can tell a torn row.
static ServiceConfig row_of_round(int round) {
  ServiceConfig row{};
  copy_field(row.name, std::to_string(round).c_str()), copy_field(row.host, ("host-" + std::to_string(round)).c_str());
  row.port = row.remote_port = static_cast<uint16_t>(round);
  return row;
}

TEST(PublishServiceRows, ReadersSeeWholeRowsAndOnlyTheOldOrTheNewCount) {
  ServiceConfig rows[MAX_SERVICES];
  std::fill(rows, rows + MAX_SERVICES, row_of_round(1));
  publish_service_rows(rows, 2);
  std::atomic<int> done{0}, faults{0};
  std::thread reader([&] {
    while (!done) {
      int count = service_table().service_count;
      ServiceConfig row = service_table().rows[0].config(), whole = row_of_round(row.port);
      faults += (count != 2 && count != 5) + (memcmp(&row, &whole, sizeof row) != 0);
    }
  });
  for (int round = 2; round < 2000; ++round) {
    std::fill(rows, rows + MAX_SERVICES, row_of_round(round));
    publish_service_rows(rows, round % 2 == 0 ? 5 : 2);
  }
  done = 1;
  reader.join();
  EXPECT_EQ(faults, 0);
  EXPECT_EQ(service_table().rows[4].config().port, 1998);
}
