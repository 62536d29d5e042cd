// Any bytes as kiv.cnf: every read keeps to the fields of its record, and the
// reads come to the end.
#include <cstdlib>
#include <cstring>

#include "core/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kiv::ConfigRecordReader reader(reinterpret_cast<const char*>(data), size);
  int converted = 0;
  // A field read is one word cut to its capacity (a NUL may end it early).
  auto one_word = [&converted](int place, const auto& field) {
    return converted < place || (strnlen(field, sizeof field) < sizeof field &&
                                 strcspn(field, " \t\r\n\v\f") == strlen(field));
  };
  // Every read takes at least one byte, so the reads are bounded by the size.
  for (size_t reads = 0; converted >= 0; ++reads) {
    kiv::ServiceConfig r;  // a write past its end hits the sanitizer's guard zone
    memset(&r, 0xA5, sizeof r);
    converted = reader.read_record(r);
    if (reads > size + 1 || converted < -1 || converted > kiv::CONFIG_FIELDS ||
        !one_word(1, r.name) || !one_word(4, r.host) || !one_word(5, r.table_name)) {
      abort();
    }
  }
  return 0;
}
