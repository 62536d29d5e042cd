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

TEST(ConfigRecordReader, WhitespaceSeparatedFieldsAndTextsCutToTheirField) {
  const std::string h(HOST_CAPACITY, 'h');
  const std::string t(TABLE_NAME_CAPACITY, 't');
  const std::pair<std::string, std::string> cases[] = {
      {"KIV 999 999 0.0.0.0 NONE 1\r\nMAIL\t110\n110 10.0.0.5 WINDOWS\n0",
       "6 6 -1 MAIL 110 110 10.0.0.5 WINDOWS 0\n"},
      // A bad number starts a record of its own.
      {"MAIL abc 110 mhost NONE 1\nS 1 2 h NONE 1\n", "1 2 1 2 6 -1 S 1 2 h NONE 1\n"},
      {"A 1 2 host \r\n", "4 -1 A 1 2 host  0\n"},
      {"A 1 -65537 h T 65537", "6 -1 A 1 65535 h T 1\n"},
      {"A 1 2147483648 h T 1", "2 1 1 2 -1 T 1 0   0\n"},
      {"A 1 2 h T 2147483648", "5 1 -1 21474 1 2 h T 0\n"},
      {"FIVE5 1 2 " + h + " " + t + " 1", "6 -1 FIVE5 1 2 " + h + " " + t + " 1\n"},
      {"SIXSIX 1 2 " + h + "H " + t + "T 1", "6 -1 SIXSI 1 2 " + h + " " + t + " 1\n"},
      // A byte that is a blank in some locale is a letter in every one.
      {"A\xA0 1 2 h T 1", "6 -1 A\xA0 1 2 h T 1\n"}};
  for (const auto& [text, read] : cases) EXPECT_EQ(read_all(text), read) << text;
}

// A number field reads the same on every system: its low 16 bits when it is a 32-bit number,
// else no number at all, whatever the width of the system's long. (The other number fields
// read as the port does: see the records above.)
TEST(ConfigRecordReader, NumbersOf32BitsKeepTheirLow16BitsAndOthersAreNoNumber) {
  const struct {
    const char* text;
    int port;  // -1: not read as a number
  } cases[] = {{"0", 0},           {"1", 1},           {"+80", 80},
               {"65535", 65535},   {"65536", 0},       {"-1", 65535},
               {"2147483647", 65535}, {"2147483648", -1}, {"-2147483648", 0},
               {"-2147483649", -1}, {"4294967377", -1}, {"99999999999999999999", -1},
               {"+", -1},           {"-", -1}};
  for (const auto& c : cases) {
    const std::string record = std::string("A ") + c.text + " 2 h T 1";
    ConfigRecordReader reader(record.data(), record.size());
    ServiceConfig r{};
    EXPECT_EQ(reader.read_record(r), c.port < 0 ? 1 : CONFIG_FIELDS) << record;
    if (c.port >= 0) {
      EXPECT_EQ(r.port, c.port) << record;
    }
  }
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

// The bound counts the file's bytes, CR LF as two on every system: a file of exactly the bound
// is read whole without a word, and one byte more is cut and logged once.
TEST_F(ConfigFile, ReadsOnlyTheFirst64KiBAndLogsThatTheRestWasNotRead) {
  const std::string first = "A 1 1 h NONE 0\r\n";
  const std::string last = "B 2 2 h NONE 0\r\n";
  const std::string notice = "kiv.cnf: only the first 65536 bytes are read";
  for (size_t size : {CONFIG_FILE_LIMIT, CONFIG_FILE_LIMIT + 1}) {
    std::string blank_lines;
    while (first.size() + blank_lines.size() + last.size() + 2 <= size) blank_lines += "\r\n";
    if (first.size() + blank_lines.size() + last.size() < size) blank_lines += " ";
    folder.write("kiv.cnf", first + blank_lines + last);
    int before = kiv_test::held_event_count(notice);
    load_service_table();
    EXPECT_EQ(service_table().service_count, 2) << size << " bytes";
    EXPECT_EQ(kiv_test::held_event_count(notice) - before, size > CONFIG_FILE_LIMIT ? 1 : 0)
        << size << " bytes";
  }
  EXPECT_EQ(window.take(), std::vector<std::string>{}) << "nothing is shown to the operator";
}

// Ctrl-Z has ended kiv.cnf on Windows: it does so on every system.
TEST_F(ConfigFile, ACtrlZEndsTheFile) {
  folder.write("kiv.cnf", "A 1 1 h NONE 1\r\n\x1a\r\nB 2 2 h NONE 1\r\n");
  load_service_table();
  EXPECT_EQ(service_table().service_count, 1);
}
