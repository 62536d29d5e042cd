// Any bytes as kiv.cnf: the reader keeps to its fields and comes to the end; load takes the whole records and shows the rest.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/config_file.h"
#include "tests/event_lines.h"
#include "tests/temp_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kiv_test::TempFolder* folder = new kiv_test::TempFolder;  // never destroyed, nor the window
  static kiv_test::KeptWarnings* window = new kiv_test::KeptWarnings;
  [[maybe_unused]] static int in_folder = (kiv::install_window_thread(window), chdir(folder->path().c_str()));
  kiv::ConfigRecordReader reader(reinterpret_cast<const char*>(data), size);
  int whole = 0, short_reads = 0, converted = 0;
  auto one_word = [&converted](int place, const auto& field) {  // if read: one word cut to capacity (a NUL may end it)
    return converted < place || (strnlen(field, sizeof field) < sizeof field && strcspn(field, " \t\r\n\v\f") == strlen(field));
  };
  // Every read takes at least one byte, so the reads are bounded by the size.
  for (size_t reads = 0; whole < kiv::MAX_SERVICES && converted >= 0; ++reads) {
    kiv::ServiceConfig r;  // a write past its end hits the sanitizer's guard zone
    memset(&r, 0xA5, sizeof r);
    converted = reader.read_record(r);
    if (reads > size + 1 || converted < -1 || converted > kiv::CONFIG_FIELDS || !one_word(1, r.name) ||
        !one_word(4, r.host) || !one_word(5, r.table_name)) abort();
    if (converted >= 0) converted == kiv::CONFIG_FIELDS ? ++whole : ++short_reads;
  }
  folder->write(kiv::CONFIG_FILE_NAME, std::string(reinterpret_cast<const char*>(data), size));
  kiv::load_service_table();
  if (kiv::service_table().service_count != whole || static_cast<int>(window->take().size()) != short_reads) abort();
  return 0;
}
