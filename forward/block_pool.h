#pragma once
// The pumps' blocks, lent out while bytes flow: an idle relay holds none, so
// thousands of idle relays hold no more memory than the few busy ones use.

#include <cstdint>

namespace kiv {

/// A block of PUMP_BLOCK_SIZE bytes, or none when no memory is left.
uint8_t* borrow_block();
/// Gives back a block from borrow_block; a few are kept for the next borrower.
void return_block(uint8_t* block);

}  // namespace kiv
