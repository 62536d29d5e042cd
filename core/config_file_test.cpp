#include "core/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/service_table.h"
#include "tests/temp_folder.h"

namespace kiv {
namespace {

struct Read {
  int converted;
  ServiceConfig record;
};

std::vector<Read> read_all(const std::string& text) {
  ConfigRecordReader reader(text.data(), text.size());
  std::vector<Read> reads;
  for (int guard = 0; guard < 100; ++guard) {
    Read read{0, ServiceConfig{}};
    read.converted = reader.read_record(read.record);
    reads.push_back(read);
    if (read.converted < 0) break;
  }
  return reads;
}

TEST(ConfigRecordReader, ReadsWholeRecordsAcrossAnyWhitespace) {
  std::vector<Read> reads = read_all("KIV 999 999 0.0.0.0 NONE 1\r\nMAIL\t110\n110 10.0.0.5 WINDOWS\n0");
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].converted, 6);
  EXPECT_STREQ(reads[0].record.name, "KIV");
  EXPECT_EQ(reads[0].record.port, 999);
  EXPECT_STREQ(reads[0].record.host, "0.0.0.0");
  EXPECT_STREQ(reads[0].record.table_name, "NONE");
  EXPECT_EQ(reads[0].record.enabled, 1);
  EXPECT_EQ(reads[1].converted, 6);
  EXPECT_STREQ(reads[1].record.name, "MAIL");
  EXPECT_EQ(reads[1].record.remote_port, 110);
  EXPECT_STREQ(reads[1].record.table_name, "WINDOWS");
  EXPECT_EQ(reads[1].record.enabled, 0);
  EXPECT_EQ(reads[2].converted, -1);
}

TEST(ConfigRecordReader, BadNumberLeavesTheRestOfTheLineToTheNextRecords) {
  std::vector<Read> reads = read_all("MAIL abc 110 mhost NONE 1\nS 1 2 h NONE 1\n");
  std::vector<int> converted;
  for (const Read& read : reads) converted.push_back(read.converted);
  EXPECT_EQ(converted, (std::vector<int>{1, 2, 1, 2, 6, -1}));
  EXPECT_STREQ(reads[4].record.name, "S");
}

TEST(ConfigRecordReader, NumbersKeepTheirLow16Bits) {
  std::vector<Read> reads = read_all("A 70000 65536 h T -1\nB 40000 99999999999999999999 h T 65537\n"
                                     "C 1 2 h T -99999999999999999999\n");
  EXPECT_EQ(reads[0].record.port, 4464);
  EXPECT_EQ(reads[0].record.remote_port, 0);
  EXPECT_EQ(reads[0].record.enabled, -1);
  EXPECT_EQ(reads[1].record.port, 40000);
  EXPECT_EQ(reads[1].record.remote_port, 65535);
  EXPECT_EQ(reads[1].record.enabled, 1);
  EXPECT_EQ(reads[2].record.enabled, 0) << "beyond long, a negative number is LONG_MIN";
}

TEST(ConfigRecordReader, EndInsideARecordCountsTheFieldsRead) {
  std::vector<Read> reads = read_all("A 1 2 host");
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].converted, 4);
  EXPECT_EQ(reads[1].converted, -1);
  EXPECT_EQ(read_all("   \n\r\n")[0].converted, -1);
}

class ConfigFileInFolder : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(chdir(folder.path().c_str()), 0); }
  kiv_test::TempFolder folder;
};

TEST_F(ConfigFileInFolder, SavedTableReadsBackTheSame) {
  folder.write("kiv.cnf", "KIV 999 999 0.0.0.0 NONE 1\nMAIL 40000 110 10.0.0.5 WINDOWS -2\n");
  load_service_table();
  folder.write("kiv.cnf", "");
  save_service_table();
  EXPECT_EQ(folder.read_text("kiv.cnf"),
            "KIV 999 999 0.0.0.0 NONE 1\nMAIL 40000 110 10.0.0.5 WINDOWS -2\n");
}

TEST_F(ConfigFileInFolder, RowsThatWouldReadBackOutOfStepAreLeftOutAndReported) {
  ServiceConfig rows[5] = {};
  const char* texts[5][3] = {{"A", "ha", "NONE"},
                             {"", "hb", "NONE"},
                             {"C", "h c", "NONE"},
                             {"D", "hd", ""},
                             {"E", "he", "WINDOWS"}};
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
  EXPECT_EQ(folder.read_text("kiv.cnf"), "A 100 200 ha NONE 1\nE 104 204 he WINDOWS 1\n");

  std::vector<std::string> reported;
  read_event_log([&reported](const EventLog& log) {
    for (int i = 0; i < log.line_count; ++i) reported.emplace_back(log.lines[i].get() + 26);
  });
  for (int r = 1; r <= 3; ++r) {
    std::string text = "kiv.cnf: Row " + std::to_string(r) +
                       " not saved: name, host and table must each be one word";
    EXPECT_EQ(std::count(reported.begin(), reported.end(), text), 1) << text;
  }
  EXPECT_EQ(service_table().service_count, 5);
  EXPECT_STREQ(service_table().rows[2].config().host, "h c");
}

}  // namespace
}  // namespace kiv
