#include "platform/splice.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kiv {

long open_splice_pipe(SplicePipe& pipe, size_t capacity) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  pipe.read_end = ends[0];
  pipe.write_end = ends[1];
  // Refused beyond the system's limits on pipes; the pipe then keeps the
  // size it was given.
  fcntl(pipe.write_end, F_SETPIPE_SZ, static_cast<int>(capacity));
  return fcntl(pipe.write_end, F_GETPIPE_SZ);
}

bool is_open(const SplicePipe& pipe) { return pipe.read_end >= 0; }

void close_splice_pipe(SplicePipe& pipe) {
  if (!is_open(pipe)) return;
  close(pipe.read_end);
  close(pipe.write_end);
  pipe = SplicePipe{};
}

long splice_receive(Socket from, SplicePipe& pipe, size_t size) {
  ssize_t n;
  do {
    n = splice(from, nullptr, pipe.write_end, nullptr, size, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  } while (n < 0 && errno == EINTR);
  return n;
}

long splice_send_some(SplicePipe& pipe, Socket to, size_t size) {
  ssize_t n;
  do {
    n = splice(pipe.read_end, nullptr, to, nullptr, size, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace kiv
