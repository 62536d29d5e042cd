#pragma once
// kiv.cnf, the services' configuration file: whitespace-separated records of
// six fields, "name port remote_port host table_name enabled", one line each.

#include <cstddef>
#include <cstdint>

#include "core/service_table.h"

namespace kiv {

constexpr const char* CONFIG_FILE_NAME = "kiv.cnf";
constexpr int CONFIG_FIELDS = 6;
/// Most bytes of kiv.cnf read; the rest of a longer file is never looked at,
/// and the log says so.
constexpr size_t CONFIG_FILE_LIMIT = 64 * 1024;
/// Ctrl-Z: the text of kiv.cnf ends before it.
constexpr char CONFIG_END_OF_TEXT = '\x1a';

/// ConfigRecordReader reads records from the text of kiv.cnf the way the
/// standard library's formatted input reads "%s %d %d %s %s %d": fields are
/// separated by any whitespace (the C locale's), line ends included; a text
/// field longer than its capacity is read whole and cut to the capacity; a
/// number is read as a decimal integer and kept as its low 16 bits. A number
/// outside the 32 bits of "%d" (-2147483648 to 2147483647) is no number on
/// any system: 4294967296 + P is never port P. A field that fails to convert
/// is left unread, so the next record starts with it.
class ConfigRecordReader {
 public:
  ConfigRecordReader(const char* text, size_t size) : next_(text), end_(text + size) {}

  /// Reads the next record into `record`; returns how many fields converted
  /// (CONFIG_FIELDS for a whole record), or -1 when the input ended before
  /// the first field.
  int read_record(ServiceConfig& record);

 private:
  bool skip_blanks();
  template <size_t N>
  bool read_text(char (&field)[N]);
  bool read_number(int32_t& value);

  const char* next_;
  const char* end_;
};

/// Fills the table from kiv.cnf: service_count, and row_y and state of every
/// loaded row. A missing file leaves no service; a bad record is reported
/// and its row is read again.
void load_service_table();
/// Writes the configured rows to kiv.cnf, one line each. A row whose name,
/// host or table name is empty or holds a blank would be read back out of
/// step with the fields after it and cost the rows after it at the next
/// start, so it is left out of the file, logged and shown.
void save_service_table();

}  // namespace kiv
