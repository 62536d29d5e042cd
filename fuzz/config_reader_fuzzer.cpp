// Any bytes as kiv.cnf: the reader never writes a field it did not convert or
// past a field's end, and always comes to the end of the text; the table
// loaded holds exactly the whole records, and every short read is shown.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "core/config_file.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace {

// Never destroyed: the folder is left to the system, the window to the process.
kiv_test::TempFolder* folder = nullptr;
kiv_test::KeptWarnings* window = nullptr;

void check(bool holds) {
  if (!holds) abort();
}

// Whether a field is untouched (0xA5 bytes) if the read did not come to it, and
// a text field read one word cut to capacity (a NUL byte read from the file ends it early).
template <typename Field>
bool sound(int converted, int place, const Field& field) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&field);
  if (converted < place) return std::all_of(bytes, bytes + sizeof field, [](uint8_t b) { return b == 0xA5; });
  if constexpr (std::is_array_v<Field>) return strnlen(field, sizeof field) < sizeof field && strcspn(field, " \t\r\n\v\f") == strlen(field);
  return true;
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
  int whole = 0, short_reads = 0, converted = 0;
  // Every read takes at least one byte, so the reads are bounded by the size.
  for (size_t reads = 0; whole < kiv::MAX_SERVICES && converted >= 0; ++reads) {
    check(reads <= size + 1);
    // A record of its own on the heap: a write past its end is caught.
    auto* r = static_cast<kiv::ServiceConfig*>(malloc(sizeof(kiv::ServiceConfig)));
    memset(r, 0xA5, sizeof *r);
    converted = reader.read_record(*r);
    check(converted >= -1 && converted <= kiv::CONFIG_FIELDS && sound(converted, 1, r->name) && sound(converted, 2, r->port) &&
          sound(converted, 3, r->remote_port) && sound(converted, 4, r->host) && sound(converted, 5, r->table_name) &&
          sound(converted, 6, r->enabled) && sound(converted, kiv::CONFIG_FIELDS + 1, r->row_y));
    free(r);
    if (converted >= 0) converted == kiv::CONFIG_FIELDS ? ++whole : ++short_reads;
  }
  folder->write(kiv::CONFIG_FILE_NAME, std::string(reinterpret_cast<const char*>(data), size));
  kiv::load_service_table();
  check(kiv::service_table().service_count == whole && static_cast<int>(window->take().size()) == short_reads);
  return 0;
}
