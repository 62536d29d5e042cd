// Addresses and names, which Windows Sockets and POSIX handle alike.
#include "platform/net_address.h"

#include <cstdio>
#include <cstring>

#include "platform/socket.h"
#include "platform/socket_address.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#endif

namespace kiv {

namespace {

// ::ffff:0:0/96, where IPv6 sockets show IPv4 peers.
constexpr uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

size_t address_size(AddressFamily family) { return family == AddressFamily::IPv6 ? 16 : 4; }

bool is_mapped(const NetAddress& address) {
  return address.family == AddressFamily::IPv6 &&
         memcmp(address.bytes, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0;
}

}  // namespace

bool NetAddress::operator==(const NetAddress& other) const {
  return family == other.family && scope == other.scope &&
         memcmp(bytes, other.bytes, sizeof bytes) == 0;
}

bool parse_address(const char* text, NetAddress& address) {
  address = NetAddress{};
  if (inet_pton(AF_INET, text, address.bytes) == 1) {
    address.family = AddressFamily::IPv4;
    return true;
  }
  if (inet_pton(AF_INET6, text, address.bytes) == 1) {
    address.family = AddressFamily::IPv6;
    return true;
  }
  return false;
}

bool parse_host_address(const char* text, NetAddress& address) {
  if (parse_address(text, address)) {
    address = unmapped_address(address);
    return true;
  }
  uint32_t old_form = inet_addr(text);
  if (old_form == INADDR_NONE) return false;
  address.family = AddressFamily::IPv4;
  memcpy(address.bytes, &old_form, 4);
  return true;
}

void format_address(const NetAddress& given, char (&text)[ADDRESS_TEXT_SIZE]) {
  NetAddress address = unmapped_address(given);
  text[0] = '\0';
  if (address.family == AddressFamily::None) return;
  inet_ntop(native_family(address.family), address.bytes, text, sizeof text);
  if (address.scope != 0) {
    size_t length = strlen(text);
    snprintf(text + length, sizeof text - length, "%%%u", static_cast<unsigned>(address.scope));
  }
}

NetAddress unmapped_address(const NetAddress& address) {
  if (!is_mapped(address)) return address;
  NetAddress four;
  four.family = AddressFamily::IPv4;
  memcpy(four.bytes, address.bytes + sizeof MAPPED_PREFIX, 4);
  return four;
}

NetAddress any_address(AddressFamily family) {
  NetAddress address;
  address.family = family;
  return address;
}

bool in_prefix(const NetAddress& given, const NetAddress& network_given, int length) {
  NetAddress address = unmapped_address(given);
  NetAddress network = unmapped_address(network_given);
  if (address.family != network.family || address.family == AddressFamily::None) return false;
  if (length < 0 || static_cast<size_t>(length) > address_size(address.family) * 8) return false;
  size_t whole = static_cast<size_t>(length) / 8;
  if (memcmp(address.bytes, network.bytes, whole) != 0) return false;
  int rest = length % 8;
  if (rest == 0) return true;
  uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (address.bytes[whole] & mask) == (network.bytes[whole] & mask);
}

bool is_local_address(const NetAddress& given) {
  // Whatever the machine can bind to is its own: the system knows its
  // addresses, each interface's and every loopback one, better than a list would.
  NetAddress address = unmapped_address(given);
  if (address.family == AddressFamily::None) return false;
  Socket probe = create_tcp_socket(address.family);
  if (probe == NO_SOCKET) return false;
  bool bound = bind_address(probe, address, 0, false) == 0;
  close_socket(probe);
  return bound;
}

std::vector<NetAddress> resolve_host(const char* name) {
  std::vector<NetAddress> found;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) return found;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    sockaddr_storage native{};
    if (entry->ai_addrlen > sizeof native) continue;
    memcpy(&native, entry->ai_addr, entry->ai_addrlen);
    NetAddress address = unmapped_address(address_of(native));
    if (address.family != AddressFamily::None) found.push_back(address);
  }
  freeaddrinfo(list);
  return found;
}

}  // namespace kiv
