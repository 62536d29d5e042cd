#include "core/service_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace kiv;

namespace {

// Every field of a row of round `round` says `round`: a reader can tell a torn row.
ServiceConfig row_of_round(int round) {
  ServiceConfig row{};
  copy_field(row.name, std::to_string(round).c_str());
  copy_field(row.host, ("host-" + std::to_string(round)).c_str());
  row.port = static_cast<uint16_t>(round);
  row.remote_port = static_cast<uint16_t>(round);
  return row;
}

// Publishes rows of rounds 2 to 1999, five rows in even rounds and two in
// odd ones, while `read` runs on another thread.
template <typename Read>
void publish_while_reading(Read read) {
  ServiceConfig rows[MAX_SERVICES];
  std::fill(rows, rows + MAX_SERVICES, row_of_round(1));
  publish_service_rows(rows, 2);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) read();
  });
  for (int round = 2; round < 2000; ++round) {
    std::fill(rows, rows + MAX_SERVICES, row_of_round(round));
    publish_service_rows(rows, round % 2 == 0 ? 5 : 2);
  }
  done = true;
  reader.join();
}

}  // namespace

TEST(PublishServiceRows, ReadersNeverSeeATornRow) {
  std::atomic<int> torn{0};
  publish_while_reading([&] {
    ServiceConfig row = service_table().rows[0].config();
    ServiceConfig whole = row_of_round(row.port);
    if (memcmp(&row, &whole, sizeof row) != 0) ++torn;
  });
  EXPECT_EQ(torn, 0);
}

TEST(PublishServiceRows, ReadersSeeOnlyTheOldOrTheNewCount) {
  std::atomic<int> wrong{0};
  publish_while_reading([&] {
    int count = service_table().service_count;
    if (count != 2 && count != 5) ++wrong;
  });
  EXPECT_EQ(wrong, 0);
}

TEST(PublishServiceRows, RowsBeyondTheCountKeepTheirLastValues) {
  publish_while_reading([] {});
  EXPECT_EQ(service_table().service_count, 2) << "the last round published two rows";
  EXPECT_EQ(service_table().rows[4].config().port, 1998) << "published in the last even round";
}
