// Host names and addresses, which Windows Sockets and POSIX handle alike.
#include "platform/socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace kiv {

namespace {

// The system's own type for a socket: int, or SOCKET on Windows.
using NativeSocket = decltype(::socket(0, 0, 0));

}  // namespace

const uint32_t INVALID_ADDRESS = INADDR_NONE;

bool is_local_address(uint32_t address) {
  Socket probe = create_tcp_socket();
  if (probe == NO_SOCKET) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = address;
  bool bound = bind(static_cast<NativeSocket>(probe), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  close_socket(probe);
  return bound;
}

int resolve_host_name(const char* name, uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return -1;
  *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return 0;
}

uint32_t dotted_address(const char* text) { return inet_addr(text); }

}  // namespace kiv
