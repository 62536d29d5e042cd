#include "forward/conversion_tables.h"

#include <gtest/gtest.h>

#include "tests/working_folder.h"

using namespace kiv;

// KOI8-R from 0xC0, then ё (0xA3) and Ё (0xB3);
// Windows-1251 from 0xC0, then ё (0xB8) and Ё (0xA8).
// ё and Ё are converted on purpose: left alone, each would arrive as another letter.
TEST(WindowsTables, EveryCyrillicLetterConvertsBothWaysAndAllElsePasses) {
  const std::string koi8 = "юабцдефгхийклмнопярстужвьызшэщчъЮАБЦДЕФГХИЙКЛМНОПЯРСТУЖВЬЫЗШЭЩЧЪёЁ";
  const std::string windows = "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюяёЁ";
  // The code of letter `k` of the strings above, with ё's and Ё's codes of its charset.
  auto code = [](size_t k, int yo, int big_yo) {
    return uint8_t(k < 64 ? 0xC0 + k : k == 64 ? yo : big_yo);
  };
  std::array<uint8_t, TABLE_SIZE> read;
  std::array<uint8_t, TABLE_SIZE> write;
  for (int b = 0; b < TABLE_SIZE; ++b) {
    read[b] = uint8_t(b);
    write[b] = uint8_t(b);
  }
  read[0x9F] = 0xEA;
  // read[KOI8-R] = Windows-1251, write[Windows-1251] = KOI8-R; each letter is two bytes of UTF-8.
  for (size_t k = 0; k < 66; ++k) {
    uint8_t koi8_code = code(k, 0xA3, 0xB3);
    uint8_t windows_code = code(windows.find(koi8.substr(2 * k, 2)) / 2, 0xB8, 0xA8);
    read[koi8_code] = windows_code;
    write[windows_code] = koi8_code;
  }
  EXPECT_EQ(WINDOWS_READ_TABLE, read);
  EXPECT_EQ(WINDOWS_WRITE_TABLE, write);
}

// NONE and WINDOWS are no files; four slots keep the first pairs loaded until the next reset.
using TableFiles = kiv_test::WorkingFolder;

TEST_F(TableFiles, BuiltInNamesAndFourLoadedPairsUntilTheNextReset) {
  std::string pair(2 * TABLE_SIZE, '\0');  // the remote host's bytes gain 1, the client's 2
  for (int b = 0; b < 2 * TABLE_SIZE; ++b) pair[b] = static_cast<char>(b + 1 + b / TABLE_SIZE);
  for (std::string name : {"WINDOWS", "A", "B", "C", "D", "E"}) folder.write(name + ".ctb", pair);
  reset_table_registry();
  ResolvedTables t;
  for (std::string name : {"None", "A", "B", "C", "D", "E"}) {
    int expected = name < "E" ? 0 : -1;
    EXPECT_EQ(resolve_tables(name.c_str(), t), expected) << name << ": four slots, case kept";
  }
  ASSERT_EQ(resolve_tables("NONE", t), 0);
  EXPECT_EQ(t.read_table, nullptr) << "NONE translates nothing";
  EXPECT_EQ(t.write_table, nullptr) << "NONE translates nothing";
  ASSERT_EQ(resolve_tables("WINDOWS", t), 0);
  EXPECT_EQ(t.read_table, WINDOWS_READ_TABLE.data()) << "WINDOWS.ctb is not read";
  EXPECT_EQ(t.write_table, WINDOWS_WRITE_TABLE.data()) << "WINDOWS.ctb is not read";
  reset_table_registry();
  ASSERT_EQ(resolve_tables("E", t), 0) << "a reset frees the slots";
  EXPECT_EQ(t.read_table[10], 11) << "the first half of the file is the remote host's table";
  EXPECT_EQ(t.write_table[10], 12) << "the second half is the client's";
}
