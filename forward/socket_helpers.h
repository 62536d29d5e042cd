#pragma once
// The socket operations of the services: a listening socket on a local
// port, and a connection to a remote host. Each logs why it failed.

#include <cstdint>

#include "forward/service_chain.h"
#include "platform/socket.h"

namespace kiv {

/// A socket listening on every local address at `port`, or NO_SOCKET after
/// formatting the reason into `message` (MESSAGE_SIZE characters) and logging it.
Socket open_listener(uint16_t port, char* message);
/// Closes a socket that open_listener opened on `port`.
void close_listener(Socket listening, uint16_t port);
/// The IPv4 address (network byte order) of `host`: a name, or dotted
/// decimal when it does not begin with a letter or its lookup fails; or
/// INVALID_ADDRESS after formatting the reason into `message` and logging it.
uint32_t look_up_host(const char* host, char* message);
/// Whether `address`:`port` is one of this agent's own listening ports.
bool is_own_listener(uint32_t address, uint16_t port);
/// A socket that has begun connecting to `address`:`port` (`host` names it
/// in the log), or NO_SOCKET after logging why. `*in_progress` says whether
/// the connect is still to end. With a `chain`, the connection's local port
/// is noted as continuing it (note_outgoing) before the connect begins, and
/// stored in `*noted_port`.
Socket begin_connect(const char* host, uint32_t address, uint16_t port, const ServiceChain* chain,
                     uint16_t* noted_port, bool* in_progress, char* message);

}  // namespace kiv
