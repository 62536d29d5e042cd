#include "forward/conversion_tables.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace kiv { namespace {

using kiv_test::held_events;

// Both code charts' Cyrillic letters, two UTF-8 bytes each: 0xC0 to 0xFF in code
// order, then ё and Ё. Every letter converts both ways; only 0x9F besides.
TEST(WindowsTables, EveryCyrillicLetterConvertsBothWaysAndAllElsePasses) {
  const std::string koi8 = "юабцдефгхийклмнопярстужвьызшэщчъЮАБЦДЕФГХИЙКЛМНОПЯРСТУЖВЬЫЗШЭЩЧЪёЁ";
  const std::string windows = "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюяёЁ";
  auto code = [](size_t k, int yo, int big_yo) { return k < 64 ? 0xC0 + int(k) : k == 64 ? yo : big_yo; };
  int read[TABLE_SIZE], write[TABLE_SIZE];
  for (int b = 0; b < TABLE_SIZE; ++b) read[b] = write[b] = b;
  read[0x9F] = 0xEA;
  for (size_t k = 0; k < 66; ++k) {
    size_t w = windows.find(koi8.substr(2 * k, 2));
    ASSERT_EQ(w % 2, 0u);
    read[code(k, 0xA3, 0xB3)] = code(w / 2, 0xB8, 0xA8);
    write[code(w / 2, 0xB8, 0xA8)] = code(k, 0xA3, 0xB3);
  }
  for (int b = 0; b < TABLE_SIZE; ++b) {
    EXPECT_EQ(WINDOWS_READ_TABLE[b], read[b]) << "remote byte " << b;
    EXPECT_EQ(WINDOWS_WRITE_TABLE[b], write[b]) << "client byte " << b;
  }
}

// Tables file: byte b holds b + read_offset (first 256) or b + write_offset.
std::string table_file(int read_offset, int write_offset, size_t size = 512) {
  std::string file(size, '\0');
  for (size_t b = 0; b < size; ++b) file[b] = static_cast<char>(b + (b < 256 ? read_offset : write_offset));
  return file;
}

TEST(TableRegistry, BuiltInNamesFilesLoadedOnceAndFourSlotsUntilTheNextReset) {
  kiv_test::TempFolder folder;
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  reset_table_registry();
  flush_event_log();
  ResolvedTables t;
  auto resolve = [&t](const std::string& name) { return resolve_tables(name.c_str(), t); };
  for (std::string name : {"NONE", "WINDOWS", "X"}) folder.write(name + ".ctb", table_file(1, 2, 600));
  ASSERT_EQ(resolve("NONE"), 0);
  EXPECT_TRUE(t.read_table == nullptr && t.write_table == nullptr);
  ASSERT_EQ(resolve("WINDOWS"), 0);
  EXPECT_TRUE(t.read_table == WINDOWS_READ_TABLE.data() && t.write_table == WINDOWS_WRITE_TABLE.data());
  ASSERT_EQ(resolve("X"), 0);
  EXPECT_EQ(t.read_table[10] + 100 * t.write_table[10] + 10000 * t.write_table[255], 11 + 1200 + 10000);
  folder.write("X.ctb", table_file(5, 5));
  ASSERT_EQ(resolve("X"), 0);
  EXPECT_EQ(t.read_table[10], 11) << "loaded once";
  std::remove(folder.file("NONE.ctb").c_str());  // Windows would open it as None.ctb
  folder.write("SHORT.ctb", table_file(1, 1, 511));
  for (std::string name : {"A", "B", "C", "D"}) folder.write(name + ".ctb", table_file(1, 1));
  for (std::string name : {"SHORT", "SHORT", "None", "A", "B", "C", "D", "E"}) {
    EXPECT_EQ(resolve(name), name < "D" ? 0 : -1) << name;  // X, A, B, C take the four slots
  }
  folder.write("E.ctb", table_file(5, 5));
  EXPECT_EQ(held_events(), (std::vector<std::string>{"Error in file: SHORT.ctb", "Error in file: SHORT.ctb",
                                                     "Can't open file: None.ctb"}))
      << "failed files take no slot; none is tried once every slot is taken";
  reset_table_registry();
  EXPECT_EQ(resolve("E"), 0);
  EXPECT_EQ(resolve("X"), 0);
  EXPECT_EQ(t.read_table[10], 15);
}

} }  // namespace kiv
