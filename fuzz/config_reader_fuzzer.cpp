// Any bytes as kiv.cnf: the reader never writes past a field, never fills
// more than five rows, and always comes to the end of the text; the table
// loaded holds exactly the whole records, and every short read is shown.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

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

// A field not converted is not written; a text field read holds one word of
// the file cut to capacity (a NUL byte read from the file ends it early).
template <typename Field>
void check_field(int converted, int converted_as, const Field& field) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&field);
  check(converted >= converted_as || std::all_of(bytes, bytes + sizeof field, [](uint8_t b) { return b == kUntouched; }));
  if constexpr (std::is_array_v<Field>) {
    size_t length = strnlen(field, sizeof field);
    check(converted < converted_as || (length < sizeof field && strcspn(field, " \t\r\n\v\f") == length));
  }
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
    auto* r = static_cast<kiv::ServiceConfig*>(malloc(sizeof(kiv::ServiceConfig)));
    memset(r, kUntouched, sizeof *r);
    int converted = reader.read_record(*r);
    check(converted >= -1 && converted <= kiv::CONFIG_FIELDS);
    check_field(converted, 1, r->name), check_field(converted, 2, r->port);
    check_field(converted, 3, r->remote_port), check_field(converted, 4, r->host);
    check_field(converted, 5, r->table_name), check_field(converted, 6, r->enabled);
    check_field(converted, kiv::CONFIG_FIELDS + 1, r->row_y);
    free(r);
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
