#include "forward/conversion_tables.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/event_log.h"
#include "tests/temp_folder.h"

namespace kiv {
namespace {

std::vector<std::string> held_texts() {
  std::vector<std::string> texts;
  read_event_log([&texts](const EventLog& log) {
    for (int i = 0; i < log.line_count; ++i) texts.emplace_back(log.lines[i].get() + 26);
  });
  return texts;
}

std::string table_file(uint8_t read_offset, uint8_t write_offset, size_t size = 512) {
  std::string file(size, '\0');
  for (int b = 0; b < 256 && b < static_cast<int>(size); ++b) {
    file[b] = static_cast<char>(b + read_offset);
    if (256 + b < static_cast<int>(size)) file[256 + b] = static_cast<char>(b + write_offset);
  }
  return file;
}

TEST(WindowsTables, ConvertCyrillicBothWaysAndLeaveTheRest) {
  for (int b = 0; b < 256; ++b) {
    if (b >= 0xC0) {
      EXPECT_EQ(WINDOWS_READ_TABLE[WINDOWS_WRITE_TABLE[b]], b) << b;
      EXPECT_EQ(WINDOWS_WRITE_TABLE[WINDOWS_READ_TABLE[b]], b) << b;
    } else {
      EXPECT_EQ(WINDOWS_WRITE_TABLE[b], b) << b;
      if (b != 0x9F) {
        EXPECT_EQ(WINDOWS_READ_TABLE[b], b) << b;
      }
    }
  }
  EXPECT_EQ(WINDOWS_READ_TABLE[0xC1], 0xE0);
  EXPECT_EQ(WINDOWS_READ_TABLE[0xE1], 0xC0);
  EXPECT_EQ(WINDOWS_READ_TABLE[0xC0], 0xFE);
  EXPECT_EQ(WINDOWS_READ_TABLE[0xFF], 0xDA);
  EXPECT_EQ(WINDOWS_READ_TABLE[0x9F], 0xEA);
  EXPECT_EQ(WINDOWS_WRITE_TABLE[0xC0], 0xE1);
  EXPECT_EQ(WINDOWS_WRITE_TABLE[0xE0], 0xC1);
}

class RegistryInFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    reset_table_registry();
    flush_event_log();
  }
  int resolve(const char* name) { return resolve_tables(name, tables); }
  kiv_test::TempFolder folder;
  ResolvedTables tables;
};

TEST_F(RegistryInFolder, NoneMeansNoTranslationAndOnlyInUpperCase) {
  folder.write("NONE.ctb", table_file(1, 1));
  ASSERT_EQ(resolve("NONE"), 0);
  EXPECT_EQ(tables.read_table, nullptr);
  EXPECT_EQ(tables.write_table, nullptr);
  // Gone first: Windows would open it by the name None.ctb too.
  std::filesystem::remove(folder.file("NONE.ctb"));
  EXPECT_EQ(resolve("None"), -1);
  EXPECT_EQ(held_texts(), std::vector<std::string>{"Can't open file: None.ctb"});
}

TEST_F(RegistryInFolder, WindowsIsAlwaysTheBuiltInPair) {
  folder.write("WINDOWS.ctb", table_file(1, 1));
  ASSERT_EQ(resolve("WINDOWS"), 0);
  EXPECT_EQ(tables.read_table, WINDOWS_READ_TABLE.data());
  EXPECT_EQ(tables.write_table, WINDOWS_WRITE_TABLE.data());
}

TEST_F(RegistryInFolder, FileOf600BytesLoadsItsFirst512AndIsReadOnce) {
  folder.write("X.ctb", table_file(1, 2, 600));
  ASSERT_EQ(resolve("X"), 0);
  EXPECT_EQ(tables.read_table[10], 11);
  EXPECT_EQ(tables.write_table[10], 12);
  folder.write("X.ctb", table_file(5, 5));
  ASSERT_EQ(resolve("X"), 0);
  EXPECT_EQ(tables.read_table[10], 11) << "a loaded pair stays until the next reset";
  reset_table_registry();
  ASSERT_EQ(resolve("X"), 0);
  EXPECT_EQ(tables.read_table[10], 15);
}

TEST_F(RegistryInFolder, ShortOrMissingFileFailsEveryTimeAndTakesNoSlot) {
  folder.write("X.ctb", table_file(1, 1, 511));
  EXPECT_EQ(resolve("X"), -1);
  EXPECT_EQ(resolve("X"), -1);
  EXPECT_EQ(resolve("Gone"), -1);
  EXPECT_EQ(held_texts(), (std::vector<std::string>{"Error in file: X.ctb", "Error in file: X.ctb",
                                                    "Can't open file: Gone.ctb"}));
  for (const char* name : {"A", "B", "C", "D"}) {
    folder.write(std::string(name) + ".ctb", table_file(1, 1));
    EXPECT_EQ(resolve(name), 0) << name;
  }
}

TEST_F(RegistryInFolder, FifthFileNameFailsWithoutTryingItsFileUntilReset) {
  for (const char* name : {"A", "B", "C", "D", "E"}) {
    folder.write(std::string(name) + ".ctb", table_file(1, 1));
  }
  for (const char* name : {"A", "B", "C", "D"}) EXPECT_EQ(resolve(name), 0) << name;
  EXPECT_EQ(resolve("E"), -1);
  EXPECT_EQ(resolve("Missing"), -1);
  EXPECT_TRUE(held_texts().empty());
  EXPECT_EQ(resolve("A"), 0);
  reset_table_registry();
  EXPECT_EQ(resolve("E"), 0);
}

}  // namespace
}  // namespace kiv
