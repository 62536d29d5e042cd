// Any bytes as kiv.cnf: the reader never writes past a field, never fills
// more than five rows, and always comes to the end of the text; the table
// loaded holds exactly the whole records, and every short read is shown.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "core/config_file.h"
#include "core/service_table.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace {

constexpr uint8_t kUntouched = 0xA5;

// Never destroyed: the folder is left to the system, the window to the process.
kiv_test::TempFolder* folder = nullptr;
kiv_test::KeptWarnings* window = nullptr;

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

// A text field that was read holds one word of the file, cut to capacity.
template <size_t N>
void check_text(const char (&field)[N]) {
  size_t length = strnlen(field, N);
  check(length < N);  // a NUL byte read from the file ends the text early
  for (size_t i = 0; i < length; ++i) check(strchr(" \t\r\n\v\f", field[i]) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  folder = new kiv_test::TempFolder;
  window = new kiv_test::KeptWarnings;
  kiv::install_window_thread(window);
  return chdir(folder->path().c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kiv::ConfigRecordReader reader(reinterpret_cast<const char*>(data), size);
  int whole = 0, short_reads = 0;
  // Every read takes at least one byte, so the reads are bounded by the size.
  for (size_t reads = 0; whole < kiv::MAX_SERVICES; ++reads) {
    check(reads <= size + 1);
    // A record of its own on the heap: a write past its end is caught.
    auto* record = static_cast<kiv::ServiceConfig*>(malloc(sizeof(kiv::ServiceConfig)));
    memset(record, kUntouched, sizeof *record);
    int converted = reader.read_record(*record);
    check(converted >= -1 && converted <= kiv::CONFIG_FIELDS);
    check(untouched(&record->row_y, sizeof record->row_y));
    if (converted >= 1) check_text(record->name);
    if (converted >= 4) check_text(record->host);
    if (converted >= 5) check_text(record->table_name);
    // A field that was not converted is not written.
    const struct {
      const void* field;
      size_t size;
      int converted_as;
    } fields[] = {{&record->port, sizeof record->port, 2},
                  {&record->remote_port, sizeof record->remote_port, 3},
                  {record->host, sizeof record->host, 4},
                  {record->table_name, sizeof record->table_name, 5},
                  {&record->enabled, sizeof record->enabled, 6}};
    for (const auto& f : fields) check(converted >= f.converted_as || untouched(f.field, f.size));
    free(record);
    if (converted < 0) break;
    converted == kiv::CONFIG_FIELDS ? ++whole : ++short_reads;
  }

  folder->write(kiv::CONFIG_FILE_NAME, std::string(reinterpret_cast<const char*>(data), size));
  window->take();
  kiv::load_service_table();
  kiv::ServiceTable& table = kiv::service_table();
  check(table.service_count == whole && static_cast<int>(window->take().size()) == short_reads);
  for (int r = 0; r < table.service_count; ++r) {
    kiv::ServiceConfig config = table.rows[r].config();
    check(config.row_y == r * kiv::ROW_SPACING);
    check(table.rows[r].state == (config.enabled != 0 ? kiv::SVC_READY : kiv::SVC_DISABLED));
  }
  return 0;
}
