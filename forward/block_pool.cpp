#include "forward/block_pool.h"

#include <mutex>
#include <new>
#include <vector>

#include "core/no_destructor.h"
#include "forward/forwarding.h"

namespace kiv {

namespace {

// Blocks kept for reuse beyond this many are freed: a burst of busy relays
// does not hold its blocks for ever.
constexpr size_t MAX_KEPT_BLOCKS = 16;

// KeptBlocks are blocks given back, waiting for the next borrower.
struct KeptBlocks {
  KeptBlocks() { blocks.reserve(MAX_KEPT_BLOCKS); }
  std::mutex guard;
  std::vector<uint8_t*> blocks;  // guarded by guard
};

KeptBlocks& kept_blocks() {
  static NoDestructor<KeptBlocks> kept;
  return *kept;
}

}  // namespace

uint8_t* borrow_block() {
  KeptBlocks& kept = kept_blocks();
  {
    std::lock_guard<std::mutex> lock(kept.guard);
    if (!kept.blocks.empty()) {
      uint8_t* block = kept.blocks.back();
      kept.blocks.pop_back();
      return block;
    }
  }
  return new (std::nothrow) uint8_t[PUMP_BLOCK_SIZE];
}

void return_block(uint8_t* block) {
  KeptBlocks& kept = kept_blocks();
  {
    std::lock_guard<std::mutex> lock(kept.guard);
    if (kept.blocks.size() < MAX_KEPT_BLOCKS) {
      kept.blocks.push_back(block);
      return;
    }
  }
  delete[] block;
}

}  // namespace kiv
