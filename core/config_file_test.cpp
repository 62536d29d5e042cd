#include "core/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/service_table.h"
#include "core/window_thread.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace kiv {
namespace {

using kiv_test::held_events;

// How many fields each read converted, up to the end of the text.
std::vector<int> conversions(const std::string& text) {
  ConfigRecordReader reader(text.data(), text.size());
  std::vector<int> converted;
  ServiceConfig record{};
  do converted.push_back(reader.read_record(record));
  while (converted.back() >= 0 && converted.size() < 100);
  return converted;
}

ServiceConfig first_record(const std::string& text) {
  ConfigRecordReader reader(text.data(), text.size());
  ServiceConfig record{};
  EXPECT_EQ(reader.read_record(record), CONFIG_FIELDS) << text;
  return record;
}

TEST(ConfigRecordReader, FieldsAreWhitespaceSeparatedAndABadNumberStartsTheNextRecord) {
  struct Case {
    const char* text;
    std::vector<int> converted;
  } cases[] = {
      {"KIV 999 999 0.0.0.0 NONE 1\r\nMAIL\t110\n110 10.0.0.5 WINDOWS\n0", {6, 6, -1}},
      {"MAIL abc 110 mhost NONE 1\nS 1 2 h NONE 1\n", {1, 2, 1, 2, 6, -1}},
      {"A 1 2 host", {4, -1}},
      {"   \n\r\n", {-1}},
  };
  for (const Case& c : cases) EXPECT_EQ(conversions(c.text), c.converted) << c.text;
}

TEST(ConfigRecordReader, NumbersKeepTheirLow16BitsAndTextsAreCutToTheirField) {
  ServiceConfig row =
      first_record("MAILER 70000 65536 " + std::string(70, 'h') + " " + std::string(40, 't') + " -1");
  EXPECT_STREQ(row.name, "MAILE");
  EXPECT_EQ(row.port, 4464);
  EXPECT_EQ(row.remote_port, 0);
  EXPECT_EQ(std::string(row.host), std::string(HOST_CAPACITY, 'h'));
  EXPECT_EQ(std::string(row.table_name), std::string(TABLE_NAME_CAPACITY, 't'));
  EXPECT_EQ(row.enabled, -1);
  row = first_record("B 40000 99999999999999999999 h T 65537");
  EXPECT_EQ(row.port, 40000);
  EXPECT_EQ(row.remote_port, 65535);
  EXPECT_EQ(row.enabled, 1);
  EXPECT_EQ(first_record("C 1 2 h T -99999999999999999999").enabled, 0)
      << "beyond long, a negative number is LONG_MIN";
}

class ConfigFileInFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    install_window_thread(&window);
    flush_event_log();
  }
  void TearDown() override { install_window_thread(nullptr); }
  // The names of the rows loaded from `text` as kiv.cnf.
  std::vector<std::string> load(const std::string& text) {
    folder.write("kiv.cnf", text);
    load_service_table();
    std::vector<std::string> names;
    for (int r = 0; r < service_table().service_count; ++r) {
      names.push_back(service_table().rows[r].config().name);
    }
    return names;
  }
  kiv_test::TempFolder folder;
  kiv_test::KeptWarnings window;
};

TEST_F(ConfigFileInFolder, LoadTakesFiveGoodRecordsAndReportsEveryShortRead) {
  EXPECT_EQ(load(""), std::vector<std::string>{});
  EXPECT_EQ(load("A 1 1 h NONE 1\nB 2 2 h NONE 0\nC 3 3 h NONE 1\nD 4 4 h NONE 1\n"
                 "E 5 5 h NONE 1\nF 6 6 h NONE 1\nG 7 7 h NONE 1\n"),
            (std::vector<std::string>{"A", "B", "C", "D", "E"}));
  EXPECT_TRUE(window.take().empty());
  ServiceRecord& b = service_table().rows[1];
  EXPECT_EQ(b.config().row_y, 15);
  EXPECT_EQ(b.state, SVC_DISABLED);
  EXPECT_EQ(service_table().rows[4].state, SVC_READY);

  EXPECT_EQ(load("MAIL abc 110 mhost NONE 1\nS1 1 2 h NONE 1\n"), std::vector<std::string>{"S1"});
  std::vector<std::string> error(4, "kiv.cnf: Error in line 0");
  EXPECT_EQ(window.take(), error);
  EXPECT_EQ(held_events(), error);

  unlink("kiv.cnf");
  load_service_table();
  EXPECT_EQ(service_table().service_count, 0);
  EXPECT_EQ(held_events().back(), "Cannot open kiv.cnf");
  EXPECT_TRUE(window.take().empty()) << "a missing file is only logged";
}

TEST_F(ConfigFileInFolder, SavedRowsReadBackTheSameAndRowsThatWouldNotAreLeftOutAndReported) {
  folder.write("kiv.cnf", "KIV 999 999 0.0.0.0 NONE 1\nMAIL 40000 110 10.0.0.5 WINDOWS -2\n");
  load_service_table();
  folder.write("kiv.cnf", "");
  save_service_table();
  EXPECT_EQ(folder.read_text("kiv.cnf"), "KIV 999 999 0.0.0.0 NONE 1\nMAIL 40000 110 10.0.0.5 WINDOWS -2\n");

  ServiceConfig rows[5] = {};
  const char* texts[5][3] = {
      {"A", "ha", "NONE"}, {"", "hb", "NONE"}, {"C", "h c", "NONE"}, {"D", "hd", ""}, {"E", "he", "X"}};
  for (int r = 0; r < 5; ++r) {
    copy_field(rows[r].name, texts[r][0]);
    copy_field(rows[r].host, texts[r][1]);
    copy_field(rows[r].table_name, texts[r][2]);
    rows[r].port = static_cast<uint16_t>(100 + r);
    rows[r].remote_port = static_cast<uint16_t>(200 + r);
    rows[r].enabled = 1;
  }
  publish_service_rows(rows, 5);
  save_service_table();
  EXPECT_EQ(folder.read_text("kiv.cnf"), "A 100 200 ha NONE 1\nE 104 204 he X 1\n");
  std::vector<std::string> reported;
  for (int r = 1; r <= 3; ++r) {
    reported.push_back("kiv.cnf: Row " + std::to_string(r) +
                       " not saved: name, host and table must each be one word");
  }
  EXPECT_EQ(window.take(), reported);
  EXPECT_EQ(held_events(), reported);
}

}  // namespace
}  // namespace kiv
