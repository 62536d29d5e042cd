#pragma once
// The far end of every forwarder under test: a sink and echo server on
// 127.0.0.1, run as a child process so that its work is not counted with the
// client's.

#include <sys/types.h>

#include <cstdint>

namespace kiv_bench {

/// BenchServer is the child process that serves every connection on one
/// port. The first byte of a connection chooses the work: 'E' echoes every
/// byte (that one included) until the peer closes; 'S' is followed by a
/// decimal byte count and a newline, answered at once with 'R', then that many
/// bytes, which are discarded and answered with 'K'. The protocol is ASCII so
/// that a translating forwarder leaves it as it is.
struct BenchServer {
  pid_t pid = -1;
  uint16_t port = 0;
};

/// A listening socket on 127.0.0.1, on a port the system chooses and
/// writes to `port`; the process ends when there is none.
int listen_loopback(uint16_t* port);

/// Forks the server; call it before the calling process starts any thread.
/// The server ends when it is sent SIGTERM or when its parent ends.
BenchServer start_bench_server();

}  // namespace kiv_bench
