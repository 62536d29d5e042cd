#include "platform/files.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kiv {

namespace {

// Opening without waiting keeps a FIFO with no peer from holding open() for
// ever; O_NONBLOCK changes nothing for a regular file, the only kind kept.
FILE* open_regular_file(const char* name, int flags, const char* mode) {
  int fd = open(name, flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat status;
  FILE* file = nullptr;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) file = fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

FILE* open_text_file_for_writing(const char* name) {
  return open_regular_file(name, O_WRONLY | O_CREAT | O_TRUNC, "w");
}

FILE* open_text_file_for_appending(const char* name, bool& missing) {
  FILE* file = open_regular_file(name, O_WRONLY | O_APPEND, "a");
  // Asked apart from the open, which fails for want of a descriptor before
  // it looks for the file at all.
  struct stat status;
  missing = file == nullptr && stat(name, &status) != 0 && errno == ENOENT;
  return file;
}

FILE* open_binary_file_for_reading(const char* name) {
  return open_regular_file(name, O_RDONLY, "rb");
}

bool file_is_missing(const char* name) {
  // lstat: a link to nothing is there, and can't be read.
  struct stat status;
  return lstat(name, &status) != 0 && errno == ENOENT;
}

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
