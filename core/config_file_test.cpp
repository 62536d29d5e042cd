#include "core/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/service_table.h"
#include "core/window_thread.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace kiv { namespace {

using kiv_test::held_events;

// How many fields each read converted, up to the end of the text; and the
// first record read, as "name port remote_port host table enabled".
std::vector<int> conversions(const std::string& text, std::string* first = nullptr) {
  ConfigRecordReader reader(text.data(), text.size());
  std::vector<int> converted;
  ServiceConfig r{};
  do converted.push_back(reader.read_record(r));
  while (converted.back() >= 0 && converted.size() < 100 && !first);
  if (first) {
    *first = std::string(r.name) + " " + std::to_string(r.port) + " " + std::to_string(r.remote_port) + " " +
             r.host + " " + r.table_name + " " + std::to_string(r.enabled);
  }
  return converted;
}

TEST(ConfigRecordReader, WhitespaceSeparatedFieldsLow16BitNumbersTextsCutToTheirField) {
  const std::pair<const char*, std::vector<int>> cases[] = {
      {"KIV 999 999 0.0.0.0 NONE 1\r\nMAIL\t110\n110 10.0.0.5 WINDOWS\n0", {6, 6, -1}},
      {"MAIL abc 110 mhost NONE 1\nS 1 2 h NONE 1\n", {1, 2, 1, 2, 6, -1}},  // a bad number starts a record
      {"A 1 2 host", {4, -1}},
      {"   \n\r\n", {-1}}};
  for (const auto& [text, converted] : cases) EXPECT_EQ(conversions(text), converted) << text;
  const std::string h(HOST_CAPACITY, 'h'), t(TABLE_NAME_CAPACITY, 't');
  const std::pair<std::string, std::string> records[] = {
      {"MAILER 70000 65536 " + h + "hhh " + t + "ttt -1", "MAILE 4464 0 " + h + " " + t + " -1"},
      {"B 40000 99999999999999999999 h T 65537", "B 40000 65535 h T 1"},
      {"C 1 2 h T -99999999999999999999", "C 1 2 h T 0"}};  // beyond long, a negative number is LONG_MIN
  for (const auto& [text, read] : records) {
    std::string first;
    EXPECT_EQ(conversions(text, &first)[0], CONFIG_FIELDS);
    EXPECT_EQ(first, read);
  }
}

class ConfigFileInFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    install_window_thread(&window);
    flush_event_log();
  }
  void TearDown() override { install_window_thread(nullptr); }
  kiv_test::TempFolder folder;
  kiv_test::KeptWarnings window;
};

TEST_F(ConfigFileInFolder, LoadTakesFiveGoodRecordsAndReportsEveryShortRead) {
  std::string text;
  for (char name = 'A'; name <= 'G'; ++name) text += name + std::string(" 1 1 h NONE ") + (name == 'B' ? "0\n" : "1\n");
  folder.write("kiv.cnf", text);
  load_service_table();
  ServiceTable& table = service_table();
  EXPECT_EQ(table.service_count, 5);
  EXPECT_EQ(std::string(table.rows[4].config().name), "E");
  EXPECT_EQ(table.rows[1].config().row_y, 15);
  EXPECT_EQ(table.rows[1].state, SVC_DISABLED);
  EXPECT_EQ(table.rows[4].state, SVC_READY);
  EXPECT_TRUE(window.take().empty());

  folder.write("kiv.cnf", "MAIL abc 110 mhost NONE 1\nS1 1 2 h NONE 1\n");
  load_service_table();
  EXPECT_EQ(std::string(table.rows[0].config().name) + std::to_string(table.service_count), "S11");
  std::vector<std::string> error(4, "kiv.cnf: Error in line 0");
  EXPECT_EQ(window.take(), error);
  EXPECT_EQ(held_events(), error);
  unlink("kiv.cnf");
  load_service_table();
  EXPECT_TRUE(table.service_count == 0 && held_events().back() == "Cannot open kiv.cnf" && window.take().empty())
      << "a missing file is only logged";
}

TEST_F(ConfigFileInFolder, SavedRowsReadBackTheSameAndRowsThatWouldNotAreLeftOutAndReported) {
  const std::string kept = "KIV 999 999 0.0.0.0 NONE 1\nMAIL 40000 110 10.0.0.5 WINDOWS -2\n";
  folder.write("kiv.cnf", kept);
  load_service_table();
  folder.write("kiv.cnf", "");
  save_service_table();
  EXPECT_EQ(folder.read_text("kiv.cnf"), kept);

  ServiceConfig rows[5] = {};
  const char* texts[5][3] = {{"A", "ha", "NONE"}, {"", "hb", "NONE"}, {"C", "h c", "NONE"}, {"D", "hd", ""}, {"E", "he", "X"}};
  for (int r = 0; r < 5; ++r) {
    copy_field(rows[r].name, texts[r][0]), copy_field(rows[r].host, texts[r][1]);
    copy_field(rows[r].table_name, texts[r][2]);
    rows[r].port = static_cast<uint16_t>(100 + r), rows[r].remote_port = static_cast<uint16_t>(200 + r);
    rows[r].enabled = 1;
  }
  publish_service_rows(rows, 5);
  save_service_table();
  EXPECT_EQ(folder.read_text("kiv.cnf"), "A 100 200 ha NONE 1\nE 104 204 he X 1\n");
  std::vector<std::string> reported;
  for (int r = 1; r <= 3; ++r) {
    reported.push_back("kiv.cnf: Row " + std::to_string(r) + " not saved: name, host and table must each be one word");
  }
  EXPECT_EQ(window.take(), reported);
  EXPECT_EQ(held_events(), reported);
}

} }  // namespace kiv
