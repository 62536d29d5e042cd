// Addresses as the system's sockets calls hold them, which Windows Sockets
// and POSIX lay out alike.
#include "platform/socket_address.h"

#include <cstring>

#ifndef _WIN32
#include <netinet/in.h>
#endif

namespace kiv {

int native_family(AddressFamily family) {
  return family == AddressFamily::IPv6 ? AF_INET6 : AF_INET;
}

socklen_t native_address(const NetAddress& address, uint16_t port, sockaddr_storage& native) {
  native = sockaddr_storage{};
  if (address.family == AddressFamily::IPv6) {
    sockaddr_in6& six = reinterpret_cast<sockaddr_in6&>(native);
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(port);
    memcpy(&six.sin6_addr, address.bytes, 16);
    six.sin6_scope_id = address.scope;
    return sizeof six;
  }
  sockaddr_in& four = reinterpret_cast<sockaddr_in&>(native);
  four.sin_family = AF_INET;
  four.sin_port = htons(port);
  memcpy(&four.sin_addr, address.bytes, 4);
  return sizeof four;
}

NetAddress address_of(const sockaddr_storage& native) {
  NetAddress address;
  if (native.ss_family == AF_INET6) {
    const sockaddr_in6& six = reinterpret_cast<const sockaddr_in6&>(native);
    address.family = AddressFamily::IPv6;
    memcpy(address.bytes, &six.sin6_addr, 16);
    address.scope = six.sin6_scope_id;
  } else if (native.ss_family == AF_INET) {
    address.family = AddressFamily::IPv4;
    memcpy(address.bytes, &reinterpret_cast<const sockaddr_in&>(native).sin_addr, 4);
  }
  return address;
}

uint16_t port_of(const sockaddr_storage& native) {
  if (native.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(native).sin6_port);
  }
  if (native.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(native).sin_port);
  }
  return 0;
}

}  // namespace kiv
