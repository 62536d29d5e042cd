#pragma once
// The simplest relay in user space, as the practical limit of one on this
// machine: two threads and a pipe per connection, moving the bytes from
// socket to socket inside the system (splice) without copying them.

#include <cstdint>

#include "bench/forwarder_process.h"

namespace kiv_bench {

/// Forks the relay from 127.0.0.1 to the server on `server_port`; call it
/// before the calling process starts any thread. It ends with its process
/// group or when its parent ends.
ForwarderProcess start_splice_relay(uint16_t server_port);

}  // namespace kiv_bench
