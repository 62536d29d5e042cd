#pragma once
// The two socket operations of the services: a listening socket on a local
// port, and a connection to a remote host. Both log why they failed.

#include <cstdint>

#include "platform/socket.h"

namespace kiv {

/// A socket listening on every local address at `port`, or NO_SOCKET after
/// formatting the reason into `message` (MESSAGE_SIZE characters) and logging it.
Socket open_listener(uint16_t port, char* message);
/// Closes a socket that open_listener opened on `port`.
void close_listener(Socket listening, uint16_t port);
/// A socket connected to `host` (a name, or dotted decimal when it does not
/// begin with a letter or its lookup fails) at `port`, or NO_SOCKET as above.
/// A pending reset ends the attempt, and the agent never connects to one of
/// its own listening ports (which would relay each client to itself again).
Socket connect_to_host(const char* host, uint16_t port, char* message);

}  // namespace kiv
