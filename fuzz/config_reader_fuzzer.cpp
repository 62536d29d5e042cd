// Any bytes as kiv.cnf: the reader keeps to its fields and comes to the end; load takes the whole records and shows the rest.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/config_file.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

namespace {

// Never destroyed: the folder is left to the system, the window to the process.
kiv_test::TempFolder* folder = nullptr;
kiv_test::KeptWarnings* window = nullptr;

void check(bool holds) { if (!holds) abort(); }

// Whether a text field, if read, holds one word cut to capacity (a NUL byte read ends it early).
template <size_t N>
bool one_word(int converted, int place, const char (&field)[N]) {
  return converted < place || (strnlen(field, N) < N && strcspn(field, " \t\r\n\v\f") == strlen(field));
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
    kiv::ServiceConfig r;  // a write past its end hits the sanitizer's guard zone
    memset(&r, 0xA5, sizeof r);
    converted = reader.read_record(r);
    check(reads <= size + 1 && converted >= -1 && converted <= kiv::CONFIG_FIELDS && one_word(converted, 1, r.name) &&
          one_word(converted, 4, r.host) && one_word(converted, 5, r.table_name));
    if (converted >= 0) converted == kiv::CONFIG_FIELDS ? ++whole : ++short_reads;
  }
  folder->write(kiv::CONFIG_FILE_NAME, std::string(reinterpret_cast<const char*>(data), size));
  kiv::load_service_table();
  check(kiv::service_table().service_count == whole && static_cast<int>(window->take().size()) == short_reads);
  return 0;
}
