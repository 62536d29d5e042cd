#include "platform/files.h"

#include <limits.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kiv {

FILE* open_text_file(const char* name, const char* mode) { return fopen(name, mode); }

FILE* open_binary_file_for_reading(const char* name) { return fopen(name, "rb"); }

bool write_standard_error_line(const char* line) {
  // Standard error may be shared with other programs (a terminal, a
  // supervisor's pipe), so it is not switched to non-blocking mode: a write
  // is made only when it has room, and a line of at most PIPE_BUF bytes then
  // goes into a pipe whole without waiting.
  pollfd room{STDERR_FILENO, POLLOUT, 0};
  if (poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) return false;
  static const char line_break[] = "\n";
  iovec pieces[2] = {{const_cast<char*>(line), std::min(strlen(line), size_t{PIPE_BUF} - 1)},
                     {const_cast<char*>(line_break), 1}};
  iovec* next = pieces;
  int left = 2;
  while (left > 0) {
    ssize_t written = writev(STDERR_FILENO, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
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
  return true;
}

}  // namespace kiv
