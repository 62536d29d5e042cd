#include "platform/files.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace kiv {

namespace {

// Writes all of `size` bytes of `data` to `handle`, however many calls it takes.
void write_all(HANDLE handle, const char* data, size_t size) {
  while (size > 0) {
    DWORD written = 0;
    DWORD part = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    if (!WriteFile(handle, data, part, &written, nullptr) || written == 0) return;
    data += written;
    size -= written;
  }
}

// A folder is the one thing besides a regular file that a bare name of the
// working folder can be here (pipes and devices have names of their own).
bool is_folder(const char* name) {
  DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

FILE* open_text_file(const char* name, const char* mode) {
  if (is_folder(name)) return nullptr;
  // "t" makes text mode explicit: CR LF line ends on disk, LF in memory.
  char text_mode[8];
  snprintf(text_mode, sizeof text_mode, "%st", mode);
  return fopen(name, text_mode);
}

FILE* open_text_file_for_appending(const char* name, bool& missing) {
  DWORD attributes = GetFileAttributesA(name);
  DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
  missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return nullptr;
  }
  return fopen(name, "at");
}

FILE* open_binary_file_for_reading(const char* name) {
  return is_folder(name) ? nullptr : fopen(name, "rb");
}

void write_standard_error_line(const char* line) {
  static const char line_break[] = "\r\n";
  HANDLE standard_error = GetStdHandle(STD_ERROR_HANDLE);
  if (standard_error == nullptr || standard_error == INVALID_HANDLE_VALUE) return;
  size_t length = strlen(line);
  char block[512];
  if (length + 2 <= sizeof block) {
    memcpy(block, line, length);
    memcpy(block + length, line_break, 2);
    write_all(standard_error, block, length + 2);
    return;
  }
  std::string long_line(line, length);
  long_line += line_break;
  write_all(standard_error, long_line.data(), long_line.size());
}

}  // namespace kiv
