// The translation loop alone: how many bytes per second one pump can pass
// through a 256-byte table, on blocks of the size a pump receives.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "forward/conversion_tables.h"
#include "forward/forwarding.h"
#include "forward/translate.h"

namespace {

// Windows-1251 text is mostly Cyrillic letters and blanks: bytes of every
// value, drawn evenly, exercise the table without favouring any entry.
std::vector<uint8_t> random_block(size_t size) {
  std::mt19937 generator(7);
  std::vector<uint8_t> block(size);
  for (uint8_t& byte : block) byte = static_cast<uint8_t>(generator());
  return block;
}

void translate_block(benchmark::State& state, const uint8_t* table) {
  std::vector<uint8_t> block = random_block(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    kiv::translate(block.data(), block.size(), table);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(block.size()));
}

void BM_TranslateWindowsWrite(benchmark::State& state) {
  translate_block(state, kiv::WINDOWS_WRITE_TABLE.data());
}
void BM_TranslateWindowsRead(benchmark::State& state) {
  translate_block(state, kiv::WINDOWS_READ_TABLE.data());
}

}  // namespace

BENCHMARK(BM_TranslateWindowsWrite)->Arg(kiv::RELAY_BLOCK_SIZE);
BENCHMARK(BM_TranslateWindowsRead)->Arg(kiv::RELAY_BLOCK_SIZE);

BENCHMARK_MAIN();
