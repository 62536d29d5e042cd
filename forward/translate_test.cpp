#include "forward/translate.h"

#include <gtest/gtest.h>

#include "forward/conversion_tables.h"

using namespace kiv;

// Blocks around the wide lookup's 64-byte steps and a pump's full block; a table that is no permutation.
TEST(Translate, EveryByteBecomesItsTableEntryWhateverTheBlockSize) {
  uint8_t halving[TABLE_SIZE];
  for (int b = 0; b < TABLE_SIZE; ++b) halving[b] = uint8_t(b / 2);
  std::vector<Translator> translators = {translate, translate_bytewise};
  if (wide_translator() != nullptr) translators.push_back(wide_translator());
  for (Translator translator : translators)
    for (const uint8_t* table : {WINDOWS_READ_TABLE.data(), static_cast<const uint8_t*>(halving)})
      for (size_t size : {0, 1, 63, 64, 65, 127, 128, 255, 256, 257, 10239, 10240}) {
        std::vector<uint8_t> block(size + 1);  // the byte after the block must stay as it is
        for (size_t i = 0; i <= size; ++i) block[i] = static_cast<uint8_t>(i * 7 + size);
        translator(block.data(), size, table);
        for (size_t i = 0; i <= size; ++i) ASSERT_EQ(block[i], i < size ? table[uint8_t(i * 7 + size)] : uint8_t(i * 7 + size)) << size << " " << i;
      }
}
