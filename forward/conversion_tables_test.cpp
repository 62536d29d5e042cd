#include "forward/conversion_tables.h"

#include <gtest/gtest.h>

#include "tests/working_folder.h"

using namespace kiv;

// Every character both code pages have: KOI8-R's letters from 0xC0, then ё, Ё, no-break space,
// °, · and © at KOI8-R's and at Windows-1251's codes; Windows-1251's letters from 0xC0.
TEST(WindowsTables, EveryCharacterBothCodePagesHaveConvertsBothWays) {
  const std::string koi8 =
      "юабцдефгхийклмнопярстужвьызшэщчъЮАБЦДЕФГХИЙКЛМНОПЯРСТУЖВЬЫЗШЭЩЧЪёЁ\u00a0°·©";
  const std::string windows =
      "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюяёЁ\u00a0°·©";
  const uint8_t koi8_others[] = {0xA3, 0xB3, 0x9A, 0x9C, 0x9E, 0xBF};
  const uint8_t windows_others[] = {0xB8, 0xA8, 0xA0, 0xB0, 0xB7, 0xA9};
  // Each character is two bytes of UTF-8.
  for (size_t k = 0; k < koi8.size() / 2; ++k) {
    size_t w = windows.find(koi8.substr(2 * k, 2)) / 2;
    uint8_t koi8_code = k < 64 ? uint8_t(0xC0 + k) : koi8_others[k - 64];
    uint8_t windows_code = w < 64 ? uint8_t(0xC0 + w) : windows_others[w - 64];
    EXPECT_EQ(WINDOWS_READ_TABLE[koi8_code], windows_code) << koi8.substr(2 * k, 2);
    EXPECT_EQ(WINDOWS_WRITE_TABLE[windows_code], koi8_code) << koi8.substr(2 * k, 2);
  }
  for (int b = 0; b < 0x80; ++b) ASSERT_EQ(WINDOWS_READ_TABLE[b], b) << "ASCII passes";
}

// A byte one code page lacks comes back after a round trip.
TEST(WindowsTables, ThePairIsEachOthersInverse) {
  for (int b = 0; b < TABLE_SIZE; ++b) {
    ASSERT_EQ(WINDOWS_WRITE_TABLE[WINDOWS_READ_TABLE[b]], b) << "byte " << b;
  }
}

// NONE and WINDOWS are no files; four slots keep the first pairs loaded until the next reset.
// What follows the two tables in a file is never read.
using TableFiles = kiv_test::WorkingFolder;

TEST_F(TableFiles, BuiltInNamesAndFourLoadedPairsUntilTheNextReset) {
  std::string pair(2 * TABLE_SIZE + 1, '\0');  // the remote host's bytes gain 1, the client's 2
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
  EXPECT_EQ(t.write_table[TABLE_SIZE - 1], 1) << "the last byte of the tables";
}
