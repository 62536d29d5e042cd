// Any bytes as kiv.cnf: the reader never writes past a field, never fills
// more than five rows, and always comes to the end of the text.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/config_file.h"
#include "core/service_table.h"
#include "fuzz/fuzz_folder.h"

namespace {

constexpr uint8_t kUntouched = 0xA5;

kiv_fuzz::QuietWindow* window = nullptr;

void check(bool holds) {
  if (!holds) abort();
}

bool untouched(const void* field, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(field);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != kUntouched) return false;
  }
  return true;
}

// A text field that was read holds one field of the file, cut to capacity.
template <size_t N>
void check_text(const char (&field)[N]) {
  size_t length = strnlen(field, N);
  check(length < N);  // a NUL byte read from the file ends the text early
  for (size_t i = 0; i < length; ++i) {
    check(field[i] != ' ' && field[i] != '\n' && field[i] != '\t' && field[i] != '\r');
  }
}

// Reads records straight from the bytes; returns how many were whole and
// how many stopped short, as load_service_table would meet them.
void read_records(const uint8_t* data, size_t size, int& whole, int& short_reads) {
  kiv::ConfigRecordReader reader(reinterpret_cast<const char*>(data), size);
  whole = 0;
  short_reads = 0;
  // Every read takes at least one byte, so the reads are bounded by the size.
  for (size_t reads = 0; reads <= size + 1; ++reads) {
    // A record of its own on the heap: a write past its end is caught.
    auto* record = static_cast<kiv::ServiceConfig*>(malloc(sizeof(kiv::ServiceConfig)));
    memset(record, kUntouched, sizeof *record);
    int converted = reader.read_record(*record);
    check(converted >= -1 && converted <= kiv::CONFIG_FIELDS);
    check(untouched(&record->row_y, sizeof record->row_y));
    if (converted >= 1) check_text(record->name);
    if (converted < 2) check(untouched(&record->port, sizeof record->port));
    if (converted < 3) check(untouched(&record->remote_port, sizeof record->remote_port));
    if (converted >= 4) check_text(record->host);
    if (converted < 4) check(untouched(record->host, sizeof record->host));
    if (converted >= 5) check_text(record->table_name);
    if (converted < 5) check(untouched(record->table_name, sizeof record->table_name));
    if (converted < 6) check(untouched(&record->enabled, sizeof record->enabled));
    free(record);
    if (converted < 0) return;
    if (converted == kiv::CONFIG_FIELDS) {
      if (++whole == kiv::MAX_SERVICES) return;
    } else {
      ++short_reads;
    }
  }
  abort();  // the reader stopped moving through the text
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  window = &kiv_fuzz::enter_fuzz_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int whole = 0;
  int short_reads = 0;
  read_records(data, size, whole, short_reads);

  kiv_fuzz::write_file(kiv::CONFIG_FILE_NAME, data, size);
  window->warnings = 0;
  kiv::load_service_table();
  kiv::ServiceTable& table = kiv::service_table();
  check(table.service_count == whole);
  check(window->warnings == short_reads);
  for (int r = 0; r < table.service_count; ++r) {
    kiv::ServiceRecord& row = table.rows[r];
    kiv::ServiceConfig config = row.config();
    check_text(config.name);
    check_text(config.host);
    check_text(config.table_name);
    check(config.row_y == r * kiv::ROW_SPACING);
    check(row.state == (config.enabled != 0 ? kiv::SVC_READY : kiv::SVC_DISABLED));
  }
  return 0;
}
