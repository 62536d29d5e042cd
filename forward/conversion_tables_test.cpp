#include "forward/conversion_tables.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace kiv {
namespace {

using kiv_test::held_events;

// The Cyrillic letters of each code page as its published chart places them,
// two UTF-8 bytes each: 0xC0 to 0xFF in code order, then ё and Ё.
const std::string kKoi8Letters =
    "юабцдефгхийклмнопярстужвьызшэщчъЮАБЦДЕФГХИЙКЛМНОПЯРСТУЖВЬЫЗШЭЩЧЪёЁ";
const std::string kWindowsLetters =
    "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюяёЁ";
constexpr int kLetters = 66;

int code(int letter, int small_yo, int capital_yo) {
  return letter < 64 ? 0xC0 + letter : letter == 64 ? small_yo : capital_yo;
}

TEST(WindowsTables, EveryCyrillicLetterConvertsBothWaysAndAllElsePasses) {
  int read[TABLE_SIZE], write[TABLE_SIZE];
  for (int b = 0; b < TABLE_SIZE; ++b) read[b] = write[b] = b;
  read[0x9F] = 0xEA;  // the one byte the pair has always changed besides the letters
  for (int k = 0; k < kLetters; ++k) {
    size_t w = kWindowsLetters.find(kKoi8Letters.substr(2 * k, 2));
    ASSERT_EQ(w % 2, 0u);
    int koi8 = code(k, 0xA3, 0xB3);
    int windows = code(static_cast<int>(w / 2), 0xB8, 0xA8);
    read[koi8] = windows;
    write[windows] = koi8;
  }
  for (int b = 0; b < TABLE_SIZE; ++b) {
    EXPECT_EQ(WINDOWS_READ_TABLE[b], read[b]) << "remote byte " << b;
    EXPECT_EQ(WINDOWS_WRITE_TABLE[b], write[b]) << "client byte " << b;
  }
}

std::string table_file(uint8_t read_offset, uint8_t write_offset, size_t size = 512) {
  std::string file(size, '\0');
  for (size_t b = 0; b < size; ++b) file[b] = static_cast<char>(b + (b < 256 ? read_offset : write_offset));
  return file;
}

class RegistryInFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    reset_table_registry();
    flush_event_log();
  }
  int resolve(const std::string& name) { return resolve_tables(name.c_str(), tables); }
  kiv_test::TempFolder folder;
  ResolvedTables tables;
};

TEST_F(RegistryInFolder, NoneAndWindowsAreNeverReadFromFiles) {
  folder.write("NONE.ctb", table_file(1, 1));
  folder.write("WINDOWS.ctb", table_file(1, 1));
  ASSERT_EQ(resolve("NONE"), 0);
  EXPECT_EQ(tables.read_table, nullptr);
  EXPECT_EQ(tables.write_table, nullptr);
  ASSERT_EQ(resolve("WINDOWS"), 0);
  EXPECT_EQ(tables.read_table, WINDOWS_READ_TABLE.data());
  EXPECT_EQ(tables.write_table, WINDOWS_WRITE_TABLE.data());
  // Gone first: Windows would open it by the name None.ctb too.
  std::filesystem::remove(folder.file("NONE.ctb"));
  EXPECT_EQ(resolve("None"), -1);
  EXPECT_EQ(held_events(), std::vector<std::string>{"Can't open file: None.ctb"});
}

TEST_F(RegistryInFolder, FileLoadsItsFirst512BytesOnceUntilTheNextReset) {
  folder.write("X.ctb", table_file(1, 2, 600));
  ASSERT_EQ(resolve("X"), 0);
  EXPECT_EQ(tables.read_table[10], 11);
  EXPECT_EQ(tables.write_table[10], 12);
  EXPECT_EQ(tables.write_table[255], 1);
  folder.write("X.ctb", table_file(5, 5));
  ASSERT_EQ(resolve("X"), 0);
  EXPECT_EQ(tables.read_table[10], 11);
  reset_table_registry();
  ASSERT_EQ(resolve("X"), 0);
  EXPECT_EQ(tables.read_table[10], 15);
}

TEST_F(RegistryInFolder, FailedFilesTakeNoSlotAndAFifthNameFailsUntilTheNextReset) {
  folder.write("SHORT.ctb", table_file(1, 1, 511));
  EXPECT_EQ(resolve("SHORT"), -1);
  EXPECT_EQ(resolve("SHORT"), -1);
  EXPECT_EQ(resolve("GONE"), -1);
  EXPECT_EQ(held_events(), (std::vector<std::string>{"Error in file: SHORT.ctb",
                                                     "Error in file: SHORT.ctb",
                                                     "Can't open file: GONE.ctb"}));
  for (std::string name : {"A", "B", "C", "D", "E"}) folder.write(name + ".ctb", table_file(1, 1));
  for (std::string name : {"A", "B", "C", "D"}) EXPECT_EQ(resolve(name), 0) << name;
  flush_event_log();
  EXPECT_EQ(resolve("E"), -1);
  EXPECT_EQ(resolve("GONE"), -1);
  EXPECT_TRUE(held_events().empty()) << "no file is tried once every slot is taken";
  EXPECT_EQ(resolve("A"), 0);
  reset_table_registry();
  EXPECT_EQ(resolve("E"), 0);
}

}  // namespace
}  // namespace kiv
