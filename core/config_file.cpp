#include "core/config_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/event_log.h"
#include "platform/files.h"

namespace kiv {

namespace {

// The blanks of the C locale, whatever locale the program runs in: a byte
// means one thing in kiv.cnf on every system.
bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool ConfigRecordReader::skip_blanks() {
  while (next_ < end_ && is_blank(*next_)) ++next_;
  return next_ < end_;
}

template <size_t N>
bool ConfigRecordReader::read_text(char (&field)[N]) {
  if (!skip_blanks()) return false;
  size_t length = 0;
  for (; next_ < end_ && !is_blank(*next_); ++next_) {
    if (length + 1 < N) field[length++] = *next_;
  }
  field[length] = '\0';
  return true;
}

bool ConfigRecordReader::read_number(int32_t& value) {
  if (!skip_blanks()) return false;
  const char* start = next_;
  bool negative = false;
  if (*next_ == '+' || *next_ == '-') {
    negative = *next_ == '-';
    ++next_;
  }
  // Counted in 64 bits on every system, and kept from growing past them.
  int64_t magnitude = 0;
  bool digits = false;
  for (; next_ < end_ && is_digit(*next_); ++next_) {
    digits = true;
    if (magnitude <= INT32_MAX) magnitude = magnitude * 10 + (*next_ - '0');
  }
  const int64_t number = negative ? -magnitude : magnitude;
  if (!digits || number < INT32_MIN || number > INT32_MAX) {
    next_ = start;
    return false;
  }
  value = static_cast<int32_t>(number);
  return true;
}

namespace {

// A text field reads back as itself only when it is one non-empty word:
// the reader takes blanks, line ends included, as field separators.
bool is_one_word(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (is_blank(*text)) return false;
  }
  return true;
}

}  // namespace

int ConfigRecordReader::read_record(ServiceConfig& record) {
  int32_t number = 0;
  int converted = 0;
  if (!read_text(record.name)) return -1;
  ++converted;
  if (!read_number(number)) return converted;
  record.port = static_cast<uint16_t>(number);
  ++converted;
  if (!read_number(number)) return converted;
  record.remote_port = static_cast<uint16_t>(number);
  ++converted;
  if (!read_text(record.host)) return converted;
  ++converted;
  if (!read_text(record.table_name)) return converted;
  ++converted;
  if (!read_number(number)) return converted;
  record.enabled = static_cast<int16_t>(static_cast<uint16_t>(number));
  return ++converted;
}

void load_service_table() {
  ServiceTable& table = service_table();
  // Its bytes as they are, so that the 64 KiB are the same on every system;
  // a CR before a line end is a blank like any other.
  FILE* file = open_binary_file_for_reading(CONFIG_FILE_NAME);
  if (file == nullptr) {
    log_eventf("Cannot open %s", CONFIG_FILE_NAME);
    table.service_count = 0;
    return;
  }
  // Five records need a few hundred bytes; the bound leaves room for blank
  // lines and bad records, and ends the reading of a file that never ends.
  // One byte more than the bound tells whether anything was left unread.
  std::string text(CONFIG_FILE_LIMIT + 1, '\0');
  text.resize(fread(&text[0], 1, text.size(), file));
  fclose(file);
  // A Ctrl-Z ends the text, as it always has for this file on Windows.
  text.resize(std::min(text.size(), text.find(CONFIG_END_OF_TEXT)));
  if (text.size() > CONFIG_FILE_LIMIT) {
    log_eventf("%s: only the first %u bytes are read", CONFIG_FILE_NAME,
               static_cast<unsigned>(CONFIG_FILE_LIMIT));
    text.resize(CONFIG_FILE_LIMIT);
  }

  ConfigRecordReader reader(text.data(), text.size());
  ServiceConfig rows[MAX_SERVICES] = {};
  int count = 0;
  while (count < MAX_SERVICES) {
    int converted = reader.read_record(rows[count]);
    if (converted < 0) break;
    if (converted < CONFIG_FIELDS) {
      char message[MESSAGE_SIZE];
      log_message(message, "%s: Error in line %d", CONFIG_FILE_NAME, count);
      show_warning(message);
      continue;
    }
    ++count;
  }
  for (int r = 0; r < count; ++r) {
    rows[r].row_y = static_cast<int16_t>(r * ROW_SPACING);
    ServiceRecord& row = table.rows[r];
    row.set_config(rows[r]);
    row.state = rows[r].enabled != 0 ? SVC_READY : SVC_DISABLED;
  }
  table.service_count = count;
}

void save_service_table() {
  FILE* file = open_text_file_for_writing(CONFIG_FILE_NAME);
  if (file == nullptr) {
    char message[MESSAGE_SIZE];
    log_message(message, "Cannot open %s", CONFIG_FILE_NAME);
    show_warning(message);
    return;
  }
  ServiceTable& table = service_table();
  int count = table.service_count;
  bool left_out[MAX_SERVICES] = {};
  for (int r = 0; r < count; ++r) {
    ServiceConfig row = table.rows[r].config();
    left_out[r] = !is_one_word(row.name) || !is_one_word(row.host) || !is_one_word(row.table_name);
    if (left_out[r]) continue;
    fprintf(file, "%s %d %d %s %s %d\n", row.name, row.port, row.remote_port, row.host,
            row.table_name, row.enabled);
  }
  fclose(file);
  // Warned only once the file is whole: the operator may take a while.
  for (int r = 0; r < count; ++r) {
    if (!left_out[r]) continue;
    char message[MESSAGE_SIZE];
    log_message(message, "%s: Row %d not saved: name, host and table must each be one word",
                CONFIG_FILE_NAME, r);
    show_warning(message);
  }
}

}  // namespace kiv
