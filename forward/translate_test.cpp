#include "forward/translate.h"

#include <gtest/gtest.h>

#include "forward/conversion_tables.h"

using namespace kiv;

namespace {

std::vector<Translator> every_translator() {
  std::vector<Translator> translators = {translate, translate_bytewise};
  if (wide_translator() != nullptr) translators.push_back(wide_translator());
  return translators;
}

// Sizes around the wide lookup's 64-byte steps, and a whole 10240-byte block.
const size_t BLOCK_SIZES[] = {0, 1, 63, 64, 65, 127, 128, 255, 256, 257, 10239, 10240};

uint8_t original_byte(size_t index, size_t size) { return static_cast<uint8_t>(index * 7 + size); }

void expect_translated(Translator translator, const uint8_t* table) {
  for (size_t size : BLOCK_SIZES) {
    // A block of `size` bytes and one byte after it, which no translation may touch.
    std::vector<uint8_t> block(size + 1);
    for (size_t i = 0; i <= size; ++i) block[i] = original_byte(i, size);
    translator(block.data(), size, table);
    for (size_t i = 0; i < size; ++i) {
      ASSERT_EQ(block[i], table[original_byte(i, size)]) << "size " << size << ", byte " << i;
    }
    ASSERT_EQ(block[size], original_byte(size, size)) << "the byte after a block of " << size;
  }
}

}  // namespace

// A table that maps two bytes to one catches a lookup that assumes a permutation.
TEST(Translate, EveryByteBecomesItsEntryOfATableThatIsNoPermutation) {
  uint8_t halving[TABLE_SIZE];
  for (int b = 0; b < TABLE_SIZE; ++b) halving[b] = static_cast<uint8_t>(b / 2);
  for (Translator translator : every_translator()) expect_translated(translator, halving);
}
