#pragma once
// NetAddress and a port as the system's sockets calls take and give them;
// for the platform layer's own use.

#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#endif

#include "platform/net_address.h"

namespace kiv {

/// Fills `native` with `address` and `port`; returns the length to pass with it.
socklen_t native_address(const NetAddress& address, uint16_t port, sockaddr_storage& native);
/// The address of `native`, of family None when it is neither IPv4 nor IPv6.
NetAddress address_of(const sockaddr_storage& native);
/// The port of `native`, 0 when it is neither IPv4 nor IPv6.
uint16_t port_of(const sockaddr_storage& native);
/// The system's code of `family`.
int native_family(AddressFamily family);

}  // namespace kiv
