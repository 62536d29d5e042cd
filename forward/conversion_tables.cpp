#include "forward/conversion_tables.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/event_log.h"
#include "platform/no_destructor.h"
#include "core/service_table.h"
#include "platform/files.h"

namespace kiv {

namespace {

// KOI8-R places the Cyrillic letters at 0xC0..0xDF (small) and 0xE0..0xFF
// (capital) in this order; the numbers are each letter's place in the
// alphabet, which is Windows-1251's order at 0xE0..0xFF and 0xC0..0xDF.
constexpr uint8_t kKoi8AlphabetPlace[32] = {30, 0,  1,  22, 4,  5,  20, 3,  21, 8,  9,
                                            10, 11, 12, 13, 14, 15, 31, 16, 17, 18, 19,
                                            6,  2,  28, 27, 7,  24, 29, 25, 23, 26};

// The bytes from 0x80 to 0xBF that do not stay as they are, KOI8-R's first,
// Windows-1251's second. The pair is one permutation and its inverse, so
// every byte comes back as itself after a round trip.
constexpr uint8_t kMovedBytes[][2] = {
    // What both code pages have: ё, Ё, no-break space, °, ·, ©.
    {0xA3, 0xB8}, {0xB3, 0xA8}, {0x9A, 0xA0}, {0x9C, 0xB0}, {0x9E, 0xB7}, {0xBF, 0xA9},
    // KOI8-R's box drawing that the shared characters displace takes the
    // Windows-1251 bytes they leave.
    {0xA0, 0x9A}, {0xA8, 0x9C}, {0xA9, 0x9E}, {0xB0, 0xA3}, {0xB7, 0xB3}, {0xB8, 0xBF},
    // ² and ÷, which Windows-1251 lacks, would become its letters in place:
    // they trade places with the first two box-drawing characters whose
    // places hold no letter.
    {0x9D, 0x82}, {0x9F, 0x84}, {0x82, 0x9D}, {0x84, 0x9F}};

constexpr std::array<uint8_t, TABLE_SIZE> koi8_to_windows() {
  std::array<uint8_t, TABLE_SIZE> table{};
  for (int b = 0; b < TABLE_SIZE; ++b) table[b] = static_cast<uint8_t>(b);
  for (int k = 0; k < 32; ++k) {
    table[0xC0 + k] = static_cast<uint8_t>(0xE0 + kKoi8AlphabetPlace[k]);
    table[0xE0 + k] = static_cast<uint8_t>(0xC0 + kKoi8AlphabetPlace[k]);
  }
  for (const auto& moved : kMovedBytes) table[moved[0]] = moved[1];
  return table;
}

constexpr std::array<uint8_t, TABLE_SIZE> inverse_of(
    const std::array<uint8_t, TABLE_SIZE>& table) {
  std::array<uint8_t, TABLE_SIZE> inverse{};
  for (int b = 0; b < TABLE_SIZE; ++b) inverse[table[b]] = static_cast<uint8_t>(b);
  return inverse;
}

TableRegistry& registry() {
  static NoDestructor<TableRegistry> tables;
  return *tables;
}

void free_slot(TablePair& slot) {
  slot.name.reset();
  slot.loaded.reset();
  slot.read_table = nullptr;
  slot.write_table = nullptr;
}

// Reads `table_name`'s file into `pair`, one of the caller's own.
int load_pair(const char* table_name, TablePair& pair) {
  char file_name[TABLE_NAME_CAPACITY + 8];
  snprintf(file_name, sizeof file_name, "%s.%s", table_name, TABLE_FILE_EXTENSION);
  FILE* file = open_binary_file_for_reading(file_name);
  if (file == nullptr) {
    log_eventf("Can't open file: %s", file_name);
    return -1;
  }
  size_t name_size = strlen(table_name) + 1;
  std::unique_ptr<char[]> name(new (std::nothrow) char[name_size]);
  std::unique_ptr<uint8_t[]> tables(new (std::nothrow) uint8_t[2 * TABLE_SIZE]);
  if (!name || !tables) {
    fclose(file);
    return -1;
  }
  if (fread(tables.get(), 1, TABLE_SIZE, file) != TABLE_SIZE ||
      fread(tables.get() + TABLE_SIZE, 1, TABLE_SIZE, file) != TABLE_SIZE) {
    log_eventf("Error in file: %s", file_name);
    fclose(file);
    return -1;
  }
  memcpy(name.get(), table_name, name_size);
  pair.loaded = std::move(tables);
  pair.read_table = pair.loaded.get();
  pair.write_table = pair.loaded.get() + TABLE_SIZE;
  pair.name = std::move(name);
  fclose(file);
  return 0;
}

// The used slot named `table_name`, else the first free slot, else
// TABLE_SLOTS; the registry's guard is held.
int find_pair(const TableRegistry& tables, const char* table_name) REQUIRES(tables.guard) {
  int slot = 0;
  for (; slot < TABLE_SLOTS && tables.slots[slot].name; ++slot) {
    if (strcmp(tables.slots[slot].name.get(), table_name) == 0) break;
  }
  return slot;
}

int tables_of(const TablePair& pair, ResolvedTables& resolved) {
  resolved.read_table = pair.read_table;
  resolved.write_table = pair.write_table;
  return 0;
}

}  // namespace

const std::array<uint8_t, TABLE_SIZE> WINDOWS_READ_TABLE = koi8_to_windows();
const std::array<uint8_t, TABLE_SIZE> WINDOWS_WRITE_TABLE = inverse_of(koi8_to_windows());

void reset_table_registry() {
  TableRegistry& tables = registry();
  MutexLock lock(tables.guard);
  for (TablePair& slot : tables.slots) free_slot(slot);
  TablePair& built_in = tables.slots[0];
  size_t name_size = strlen(BUILT_IN_TABLES) + 1;
  built_in.name.reset(new char[name_size]);
  memcpy(built_in.name.get(), BUILT_IN_TABLES, name_size);
  built_in.read_table = WINDOWS_READ_TABLE.data();
  built_in.write_table = WINDOWS_WRITE_TABLE.data();
}

int resolve_tables(const char* table_name, ResolvedTables& resolved) {
  TableRegistry& tables = registry();
  {
    MutexLock lock(tables.guard);
    int slot = find_pair(tables, table_name);
    if (slot < TABLE_SLOTS && tables.slots[slot].name) {
      return tables_of(tables.slots[slot], resolved);
    }
    if (strcmp(table_name, NO_TRANSLATION) == 0) {
      resolved = ResolvedTables{};
      return 0;
    }
    if (slot == TABLE_SLOTS) return -1;
  }
  // The file is read without the guard: a file slow to read holds up only
  // the relays that need it, never another service's.
  TablePair loaded;
  if (load_pair(table_name, loaded) != 0) return -1;
  MutexLock lock(tables.guard);
  // Another relay may have loaded the same name, or taken the last slot, meanwhile.
  int slot = find_pair(tables, table_name);
  if (slot == TABLE_SLOTS) return -1;
  if (!tables.slots[slot].name) tables.slots[slot] = std::move(loaded);
  return tables_of(tables.slots[slot], resolved);
}

}  // namespace kiv
