#pragma once
// Moving received bytes on to another socket inside the system, through a
// pipe, where the platform can: the bytes never pass through the process.

#include <cstddef>

#include "platform/socket.h"

namespace kiv {

/// SplicePipe holds bytes on their way from one socket to another. It is
/// empty between a splice_receive and the splice_send_all that follows it.
struct SplicePipe {
  int read_end = -1;
  int write_end = -1;
};

/// Opens `pipe`, holding `capacity` bytes where the system allows as many
/// (it limits what the pipes of an unprivileged user hold in all), less
/// otherwise: how many bytes it holds, or -1 when the platform has no such
/// facility or nothing is left to open one with.
long open_splice_pipe(SplicePipe& pipe, size_t capacity);
bool is_open(const SplicePipe& pipe);
void close_splice_pipe(SplicePipe& pipe);

/// Moves what `from` has received, at most `size` bytes and waiting for the
/// first, into the empty pipe: the count, 0 at the end of the data, or -1 on
/// failure, with last_socket_error() saying why, as receive_some does.
long splice_receive(Socket from, SplicePipe& pipe, size_t size);
/// Sends all `size` bytes that the pipe holds to `to`, however many calls it
/// takes: `size`, or -1 on failure, as send_all does.
long splice_send_all(SplicePipe& pipe, Socket to, size_t size);

}  // namespace kiv
