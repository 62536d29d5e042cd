#include "platform/files.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kiv {

FILE* open_text_file(const char* name, const char* mode) { return fopen(name, mode); }

FILE* open_binary_file_for_reading(const char* name) { return fopen(name, "rb"); }

void write_standard_error_line(const char* line) {
  static const char line_break[] = "\n";
  iovec pieces[2] = {{const_cast<char*>(line), strlen(line)},
                     {const_cast<char*>(line_break), 1}};
  iovec* next = pieces;
  int left = 2;
  while (left > 0) {
    ssize_t written = writev(STDERR_FILENO, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    // A short write: go on from where it stopped.
    size_t done = static_cast<size_t>(written);
    while (left > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
}

}  // namespace kiv
