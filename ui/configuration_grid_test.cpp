// The Configuration dialog's rules, whatever front end draws it: the grid it
// opens with, the rows it takes from what was typed, and the file it saves.
#include "ui/configuration_grid.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/config_file.h"
#include "core/event_log.h"
#include "tests/temp_folder.h"

namespace kiv { namespace {

class ConfigurationGrid : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(chdir(folder_.path().c_str()), 0); }
  void TearDown() override { flush_event_log(); }  // rows left out of the file are logged
  kiv_test::TempFolder folder_;
};

// The table's rows as "name port remote_port host table_name enabled y<row_y>".
std::vector<std::string> table_rows() {
  std::vector<std::string> texts;
  for (int r = 0; r < service_table().service_count; ++r) {
    ServiceConfig c = service_table().rows[r].config();
    texts.push_back(std::string(c.name) + " " + std::to_string(c.port) + " " + std::to_string(c.remote_port) +
                    " " + c.host + " " + c.table_name + " " + std::to_string(c.enabled) + " y" +
                    std::to_string(c.row_y));
  }
  return texts;
}

// The grid shows the table; OK saves it back (non-zero enabled as 1); state and
// counters stay with the row index.
TEST_F(ConfigurationGrid, OpensShowingTheTableAndOkKeepsRowsStateAndCounters) {
  folder_.write("kiv.cnf", "KIV 999 999 0.0.0.0 NONE 1\nMAIL 40000 110 10.0.0.5 WINDOWS -2\n");
  load_service_table();
  ServiceRecord& row1 = service_table().rows[1];
  row1.state = SVC_ACTIVE;
  row1.connections = 7;
  GridRow grid[MAX_SERVICES];
  grid_of_table(grid);
  EXPECT_EQ(std::to_string(grid[1].enabled) + grid[1].name + grid[1].port + grid[1].remote_port + grid[1].host +
                grid[1].table_name + std::to_string(grid[2].enabled) + grid[2].name + grid[2].port + grid[2].host,
            "1MAIL4000011010.0.0.5WINDOWS0");
  use_grid(grid);
  EXPECT_EQ(folder_.read_text("kiv.cnf"), "KIV 999 999 0.0.0.0 NONE 1\nMAIL 40000 110 10.0.0.5 WINDOWS 1\n");
  EXPECT_EQ(row1.state, SVC_ACTIVE);
  EXPECT_EQ(row1.connections, 7u);
}

TEST_F(ConfigurationGrid, TypedRowsBecomeTheTableAndTheFile) {
  const std::string host70(70, 'h'), table40(40, 't');
  const struct {
    const char* what;
    std::vector<GridRow> typed;  // rows not given are blank
    std::vector<std::string> rows;
  } cases[] = {
      {"texts cut to their fields, ports modulo 65536",
       {{true, "MAILER", "70000", "", "10.0.0.5", "WINDOWS"},
        {true, "ÄÄÄ", "65536", "8080", "webhost", "NONE"},
        {true, "FTP", "abc", "", "ftphost", "NONE"},
        {true, "POP", " 110 ", "0", host70, table40},
        {false, "NEWS", "119", "4294967297", "newshost", "NONE"}},
       {"MAILE 4464 4464 10.0.0.5 WINDOWS 1 y0", "ÄÄ 0 8080 webhost NONE 0 y15", "FTP 0 0 ftphost NONE 0 y30",
        "POP 110 110 " + host70.substr(0, 63) + " " + table40.substr(0, 34) + " 1 y45",
        "NEWS 119 119 newshost NONE 0 y60"}},
      {"a port alone does not keep a row", {{true, "", "80", "80", "", "NONE"}, {true, "B", "2", "", "hb", "NONE"}}, {}},
      {"a blank row ends the list", {{true, "A", "1", "", "ha", "NONE"}, {}, {true, "C", "3", "", "hc", "NONE"}},
       {"A 1 1 ha NONE 1 y0"}},
      {"no host: kept, disabled; no name: kept",
       {{true, "NEWS", "119", "", "", "NONE"}, {true, "", "120", "", "hc", "NONE"}},
       {"NEWS 119 119  NONE 0 y0", " 120 120 hc NONE 1 y15"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    GridRow grid[MAX_SERVICES];
    for (size_t i = 0; i < c.typed.size(); ++i) grid[i] = c.typed[i];
    use_grid(grid);
    EXPECT_EQ(table_rows(), c.rows);
    std::string file;  // the rows that read back as themselves
    for (const std::string& row : c.rows) {
      if (row[0] != ' ' && row.find("  ") == std::string::npos) file += row.substr(0, row.rfind(" y")) + "\n";
    }
    EXPECT_EQ(folder_.read_text("kiv.cnf"), file);
  }
}

TEST(ReadPort, DecimalBelow2To32KeptModulo65536) {
  const std::pair<const char*, int> cases[] = {  // -1: not read
      {"110", 110}, {" 110\t", 110}, {"0", 0},   {"65536", 0}, {"70000", 4464}, {"4294967295", 65535}, {"", -1},
      {"  ", -1},   {"abc", -1},     {"12a", -1}, {"-1", -1},   {"+1", -1},      {"1 2", -1},  {"4294967296", -1}};
  for (const auto& [text, expected] : cases) {
    uint16_t port = 0;
    EXPECT_EQ(read_port(text, port) ? port : -1, expected) << text;
  }
}

} }  // namespace kiv
