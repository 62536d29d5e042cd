#include "core/config_file.h"

#include <gtest/gtest.h>

#include "tests/config_line.h"
#include "tests/event_lines.h"
#include "tests/working_folder.h"

using namespace kiv;

// The fields that each read of `text` converted, and the record they all read into.
static std::string read_all(const std::string& text) {
  ConfigRecordReader reader(text.data(), text.size());
  ServiceConfig r{};
  std::string read;
  int fields = 0;
  while (fields >= 0 && read.size() < 100) {
    fields = reader.read_record(r);
    read += std::to_string(fields) + " ";
  }
  return read + kiv_test::config_line(r.name, r.port, r.remote_port, r.host, r.table_name,
                                      r.enabled);
}

TEST(ConfigRecordReader, WhitespaceSeparatedFieldsLow16BitNumbersTextsCutToTheirField) {
  const std::string h(HOST_CAPACITY, 'h');
  const std::string t(TABLE_NAME_CAPACITY, 't');
  const std::pair<std::string, std::string> cases[] = {
      {"KIV 999 999 0.0.0.0 NONE 1\r\nMAIL\t110\n110 10.0.0.5 WINDOWS\n0",
       "6 6 -1 MAIL 110 110 10.0.0.5 WINDOWS 0\n"},
      // A bad number starts a record of its own.
      {"MAIL abc 110 mhost NONE 1\nS 1 2 h NONE 1\n", "1 2 1 2 6 -1 S 1 2 h NONE 1\n"},
      {"A 1 2 host \r\n", "4 -1 A 1 2 host  0\n"},
      {"MAILER 70000 65536 " + h + "hhh " + t + "ttt -1",
       "6 -1 MAILE 4464 0 " + h + " " + t + " -1\n"},
      // Beyond a long: LONG_MAX and LONG_MIN.
      {"B 99999999999999999999 -99999999999999999999 h T 65537", "6 -1 B 65535 0 h T 1\n"}};
  for (const auto& [text, read] : cases) EXPECT_EQ(read_all(text), read) << text;
}

using ConfigFile = kiv_test::WorkingFolder;

TEST_F(ConfigFile, LoadsFiveWholeRecordsReportsEveryShortReadAndSavesThemAsRead) {
  const std::string kept =
      "A 1 1 h NONE 1\nB 40000 110 h NONE 0\nC 1 2 h WINDOWS -2\nD 4 4 h NONE 1\nE 5 5 h X 1\n";
  // Four short reads come first; the sixth whole record is one too many.
  folder.write("kiv.cnf", "MAIL abc 110 mhost NONE 1\n" + kept + "F 6 6 h NONE 1\n");
  load_service_table();
  EXPECT_EQ(service_table().rows[4].config().row_y, 60) << "each row 15 pixels below the last";
  EXPECT_EQ(service_table().rows[1].state, SVC_DISABLED) << "enabled 0";
  EXPECT_EQ(service_table().rows[2].state, SVC_READY) << "any non-zero enabled";
  save_service_table();
  EXPECT_EQ(folder.read_text("kiv.cnf"), kept);
  EXPECT_EQ(window.take(), std::vector<std::string>(4, "kiv.cnf: Error in line 0"));
}

TEST_F(ConfigFile, AMissingFileLeavesNoServiceAndIsOnlyLogged) {
  load_service_table();
  EXPECT_EQ(service_table().service_count, 0);
  EXPECT_EQ(kiv_test::held_events().back(), "Cannot open kiv.cnf");
  EXPECT_EQ(window.take(), std::vector<std::string>{}) << "nothing is shown to the operator";
}

// A file longer than the bound is read up to it, and the log says so once; a file that fits
// whole is read to its last byte without a word.
TEST_F(ConfigFile, ReadsOnlyTheFirst64KiBAndLogsThatTheRestWasNotRead) {
  const std::string row = "A 1 1 h NONE 0";
  const std::string notice = "kiv.cnf: only the first 65536 bytes are read";
  const struct {
    size_t blank_lines;
    int service_count;
    int notices;
  } cases[] = {{CONFIG_FILE_LIMIT - row.size(), 1, 0}, {70000, 0, 1}};
  for (const auto& c : cases) {
    folder.write("kiv.cnf", std::string(c.blank_lines, '\n') + row);
    int before = kiv_test::held_event_count(notice);
    load_service_table();
    EXPECT_EQ(service_table().service_count, c.service_count) << c.blank_lines << " blank lines";
    EXPECT_EQ(kiv_test::held_event_count(notice) - before, c.notices)
        << c.blank_lines << " blank lines";
  }
  EXPECT_EQ(window.take(), std::vector<std::string>{}) << "nothing is shown to the operator";
}
