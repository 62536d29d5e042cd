#pragma once
// Conversion tables: pairs of 256-byte translation tables, one per direction
// of a relay. The built-in pair "WINDOWS" converts Cyrillic between KOI8-R
// (remote side) and Windows-1251 (client side); other pairs are loaded on
// demand from "<name>.ctb" files and kept until the registry is reset.

#include <array>
#include <cstdint>
#include <memory>

#include "platform/mutex.h"

namespace kiv {

constexpr int TABLE_SLOTS = 5;
constexpr int TABLE_SIZE = 256;
constexpr const char* NO_TRANSLATION = "NONE";
constexpr const char* BUILT_IN_TABLES = "WINDOWS";
constexpr const char* TABLE_FILE_EXTENSION = "ctb";

/// The built-in pair: remote host to client, and client to remote host.
extern const std::array<uint8_t, TABLE_SIZE> WINDOWS_READ_TABLE;
extern const std::array<uint8_t, TABLE_SIZE> WINDOWS_WRITE_TABLE;

/// TablePair is one slot of the registry: free (no name) or complete.
struct TablePair {
  std::unique_ptr<char[]> name;
  const uint8_t* read_table = nullptr;   // applied to bytes from the remote host
  const uint8_t* write_table = nullptr;  // applied to bytes from the client
  std::unique_ptr<uint8_t[]> loaded;     // both tables of a pair read from a file
};

/// TableRegistry holds the built-in pair in slot 0 and up to four pairs loaded
/// from files, filled in order. Slots change only under `guard`; the tables
/// handed out stay unchanged until the next reset, when no relay runs.
struct TableRegistry {
  Mutex guard;
  TablePair slots[TABLE_SLOTS] GUARDED_BY(guard);
};

/// What a relay translates with; both none for "NONE".
struct ResolvedTables {
  const uint8_t* read_table = nullptr;
  const uint8_t* write_table = nullptr;
};

/// Frees the loaded pairs and puts the built-in pair in slot 0.
void reset_table_registry();
/// Finds or loads the pair named `table_name`: 0 and the tables, or -1 after
/// logging why, where there is a reason to give.
int resolve_tables(const char* table_name, ResolvedTables& tables);

}  // namespace kiv
