#pragma once
// The socket watcher: one thread that waits for many sockets at once, so that
// a connection waiting for its next bytes holds no thread of its own.

#include "platform/socket.h"

namespace kiv {

/// Starts `ready(argument)` as a thread's work (see start_detached_thread)
/// once `s` is readable, has ended or failed, or abort_connection is called
/// on it; where no thread can be started, the watcher's own thread makes the
/// call. `s` must stay open until then, and a socket is watched for one call
/// at a time. Returns 0, or the platform's error code when `s` cannot be
/// watched: nothing is called then, and the caller waits itself.
int call_when_readable(Socket s, void (*ready)(void*), void* argument);

#ifdef _WIN32
/// Records that `s` is shut down for receiving, which does not make a socket
/// ready on Windows as it does on Linux: its call, watched now or later, is
/// made at once.
void mark_shut_down(Socket s);
/// Forgets what was recorded of `s`, which is about to close.
void forget_shut_down(Socket s);
#endif

}  // namespace kiv
