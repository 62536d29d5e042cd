#pragma once
// Moving received bytes on to another socket inside the system, through a
// pipe, where the platform can: the bytes never pass through the process.

#include <cstddef>

#include "platform/socket.h"

namespace kiv {

/// SplicePipe holds bytes on their way from one socket to another: what one
/// splice_receive put in, until splice_send_some calls have sent it all.
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

/// Moves what `from` has received, at most `size` bytes and never waiting,
/// into the empty pipe: the count, 0 at the end of the data, or -1 on
/// failure, with last_socket_error() saying why, as receive_some does.
long splice_receive(Socket from, SplicePipe& pipe, size_t size);
/// Sends what `to` takes at once of the `size` bytes the pipe holds, never
/// waiting for room: the count, or -1 as send_without_waiting does.
long splice_send_some(SplicePipe& pipe, Socket to, size_t size);

}  // namespace kiv
