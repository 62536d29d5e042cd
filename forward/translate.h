#pragma once
// Byte-for-byte translation of a block through a 256-byte table, in place.

#include <cstddef>
#include <cstdint>

namespace kiv {

/// Replaces each of the `size` bytes of `block` by `table`'s entry at that
/// byte's value. Uses the processor's byte-permute instructions where it has
/// them; the result is the same either way.
void translate(uint8_t* block, size_t size, const uint8_t* table);

/// The two ways translate() takes, each callable on its own: the
/// byte-at-a-time loop, and the wide lookup, which is none on a processor
/// without the instructions.
using Translator = void (*)(uint8_t* block, size_t size, const uint8_t* table);
void translate_bytewise(uint8_t* block, size_t size, const uint8_t* table);
Translator wide_translator();

}  // namespace kiv
