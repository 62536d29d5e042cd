#include "ui/configuration_grid.h"

#include <gtest/gtest.h>

#include "tests/config_line.h"
#include "tests/working_folder.h"

using namespace kiv;

namespace {

// The table's rows as kiv.cnf lines, each followed by its row_y.
std::string table_rows() {
  std::string rows;
  for (int r = 0; r < service_table().service_count; ++r) {
    ServiceConfig c = service_table().rows[r].config();
    rows += kiv_test::config_line(c.name, c.port, c.remote_port, c.host, c.table_name, c.enabled);
    rows += std::to_string(c.row_y) + " ";
  }
  return rows;
}

using ConfigurationGrid = kiv_test::WorkingFolder;

}  // namespace

// Texts cut, never inside a character; ports below 2^32 modulo 65536; no
// port: disabled; no remote port: the port.
TEST_F(ConfigurationGrid, TypedTextsAndPortsBecomeRowsAsTheyWouldReadBack) {
  const std::string host70(70, 'h'), table40(40, 't');
  GridRow typed[MAX_SERVICES] = {
      {true, "MAILER", "70000", "  ", "10.0.0.5", "WINDOWS"},
      {true, "ЖЁЖ", "65536", "4294967295", "webhost", ""},
      {true, "FTP", "12a", "", "ftp host", "NONE"},
      {true, "POP", " 110\t", "0", host70, table40},
      {false, "NEWS", "119", "4294967297", "newshost", "NONE"}};
  use_grid(typed, whole_utf8_characters);
  EXPECT_EQ(table_rows(), "MAILE 4464 4464 10.0.0.5 WINDOWS 1\n0 "
                          "ЖЁ 0 65535 webhost  0\n15 "
                          "FTP 0 0 ftp host NONE 0\n30 "
                          "POP 110 110 " + host70.substr(0, 63) + " " + table40.substr(0, 34) +
                              " 1\n45 "
                              "NEWS 119 119 newshost NONE 0\n60 ");
}

// No host: disabled; no name: kept; neither, whatever else: the end of the list. Rows that
// would not read back are logged instead of saved.
TEST_F(ConfigurationGrid, ARowWithNeitherNameNorHostEndsTheList) {
  GridRow typed[MAX_SERVICES] = {{true, "A", "1", "", "ha", "NONE"},
                                 {true, "NEWS", "119", "", "", "NONE"},
                                 {true, "", "120", "", "hc", "NONE"},
                                 {true, "", "80", "80", "", "NONE"},
                                 {true, "C", "3", "", "hc", "NONE"}};
  use_grid(typed, whole_utf8_characters);
  EXPECT_EQ(table_rows(), "A 1 1 ha NONE 1\n0 NEWS 119 119  NONE 0\n15  120 120 hc NONE 1\n30 ");
  EXPECT_EQ(folder.read_text("kiv.cnf"), "A 1 1 ha NONE 1\n") << "only row 0 reads back";
  EXPECT_EQ(kiv_test::held_events(),
            (std::vector<std::string>{
                "kiv.cnf: Row 1 not saved: name, host and table must each be one word",
                "kiv.cnf: Row 2 not saved: name, host and table must each be one word"}));
}
