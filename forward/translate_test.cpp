#include "forward/translate.h"

#include <gtest/gtest.h>

#include <iostream>
#include <vector>

#include "forward/conversion_tables.h"

namespace kiv {
namespace {

// Each way of translating, over blocks around the 64-byte steps of the wide
// lookup and a pump's full block, with every byte value and tables that are
// not permutations. The wide lookup runs where the processor has it.
TEST(Translate, EveryByteBecomesItsTableEntryWhateverTheBlockSize) {
  uint8_t halving[TABLE_SIZE];
  uint8_t reversing[TABLE_SIZE];
  for (int b = 0; b < TABLE_SIZE; ++b) {
    halving[b] = static_cast<uint8_t>(b / 2);
    reversing[b] = static_cast<uint8_t>(255 - b);
  }
  std::vector<Translator> translators = {translate, translate_bytewise};
  if (wide_translator() != nullptr) translators.push_back(wide_translator());
  else std::cout << "[  NOTE    ] no wide lookup on this processor\n";
  for (Translator translator : translators) {
    for (const uint8_t* table : std::initializer_list<const uint8_t*>{WINDOWS_READ_TABLE.data(), halving, reversing}) {
      for (size_t size : {0, 1, 63, 64, 65, 127, 128, 255, 256, 257, 10239, 10240}) {
        std::vector<uint8_t> block(size + 1);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + size);
        const std::vector<uint8_t> original = block;
        translator(block.data(), size, table);
        for (size_t i = 0; i < size; ++i) ASSERT_EQ(block[i], table[original[i]]) << size << " " << i;
        EXPECT_EQ(block[size], original[size]) << "the byte after the block is left alone";
      }
    }
  }
}

}  // namespace
}  // namespace kiv
