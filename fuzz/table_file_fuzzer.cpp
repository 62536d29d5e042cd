// Any bytes as a table file: the pair loads exactly when the file holds 512
// bytes or more, and then translates with its first 512 bytes.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "forward/conversion_tables.h"
#include "fuzz/fuzz_folder.h"

namespace {

void check(bool holds) {
  if (!holds) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiv_fuzz::enter_fuzz_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kiv_fuzz::write_file("X.ctb", data, size);
  kiv::reset_table_registry();
  kiv::ResolvedTables tables;
  int result = kiv::resolve_tables("X", tables);
  constexpr size_t kPair = 2 * kiv::TABLE_SIZE;
  check((result == 0) == (size >= kPair));
  if (result != 0) return 0;
  check(memcmp(tables.read_table, data, kiv::TABLE_SIZE) == 0);
  check(memcmp(tables.write_table, data + kiv::TABLE_SIZE, kiv::TABLE_SIZE) == 0);
  // Loaded once: the second relay that names it gets the same pair.
  kiv::ResolvedTables again;
  check(kiv::resolve_tables("X", again) == 0 && again.read_table == tables.read_table);
  return 0;
}
