#include "platform/socket.h"

#include <winsock2.h>
#include <mstcpip.h>
#include <ws2tcpip.h>

#include <climits>

#include "platform/socket_address.h"

namespace kiv {

namespace {

SOCKET native(Socket s) { return static_cast<SOCKET>(s); }

Socket ours(SOCKET s) { return s == INVALID_SOCKET ? NO_SOCKET : static_cast<Socket>(s); }

// Winsock takes lengths as int: a larger block goes in several calls.
int call_size(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

int set_blocking_mode(Socket s, u_long non_blocking) {
  return ioctlsocket(native(s), FIONBIO, &non_blocking) == 0 ? 0 : -1;
}

}  // namespace

const int MAX_LISTEN_BACKLOG = SOMAXCONN;
const int TIMED_OUT_ERROR = WSAETIMEDOUT;
const int CONNECTION_RESET_ERROR = WSAECONNRESET;
const int INTERRUPTED_ERROR = WSAEINTR;

int start_sockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

int last_socket_error() { return WSAGetLastError(); }

bool is_connection_reset(int error) { return error == WSAECONNRESET; }

bool is_would_block(int error) { return error == WSAEWOULDBLOCK; }

bool is_out_of_resources(int error) { return error == WSAEMFILE || error == WSAENOBUFS; }

// A connection reset by its client before it was accepted: Windows says
// WSAECONNRESET; wine says WSAENOTCONN, which accept has no other use for.
bool is_pending_connection_error(int error) {
  return error == WSAECONNRESET || error == WSAENOTCONN;
}

Socket create_tcp_socket(AddressFamily family) {
  return ours(WSASocketW(native_family(family), SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                         WSA_FLAG_NO_HANDLE_INHERIT));
}

int bind_address(Socket s, const NetAddress& address, uint16_t port, bool with_ipv4) {
  // SO_REUSEADDR would let a second program bind a port in use here; this
  // option refuses it, and Windows never holds lingering connections of a
  // closed listener against a new bind anyway.
  BOOL on = TRUE;
  setsockopt(native(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
             sizeof on);
  if (address.family == AddressFamily::IPv6) {
    DWORD v6_only = with_ipv4 ? 0 : 1;
    if (setsockopt(native(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6_only),
                   sizeof v6_only) != 0) {
      return -1;
    }
  }
  sockaddr_storage target;
  int length = native_address(address, port, target);
  return bind(native(s), reinterpret_cast<sockaddr*>(&target), length) == 0 ? 0 : -1;
}

int listen_on(Socket s, int backlog) { return listen(native(s), backlog) == 0 ? 0 : -1; }

Socket accept_client(Socket listening, NetAddress& peer, uint16_t& peer_port) {
  sockaddr_storage native_peer{};
  int length = sizeof native_peer;
  Socket client =
      ours(accept(native(listening), reinterpret_cast<sockaddr*>(&native_peer), &length));
  peer = address_of(native_peer);
  peer_port = port_of(native_peer);
  // An accepted socket takes the listener's mode here; made non-blocking
  // whatever the listener's, as on Linux.
  if (client != NO_SOCKET) set_blocking_mode(client, 1);
  return client;
}

int bind_any_port(Socket s, AddressFamily family) {
  sockaddr_storage address;
  int length = native_address(any_address(family), 0, address);
  return bind(native(s), reinterpret_cast<sockaddr*>(&address), length) == 0 ? 0 : -1;
}

uint16_t local_port(Socket s) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (getsockname(native(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return port_of(address);
}

int start_connect(Socket s, const NetAddress& address, uint16_t port) {
  if (set_blocking_mode(s, 1) != 0) return -1;
  sockaddr_storage target;
  int length = native_address(address, port, target);
  if (connect(native(s), reinterpret_cast<sockaddr*>(&target), length) == 0) return 0;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

int pending_socket_error(Socket s) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return WSAGetLastError();
  }
  return error;
}

long receive_some(Socket s, void* buffer, size_t size) {
  int n = recv(native(s), static_cast<char*>(buffer), call_size(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long send_without_waiting(Socket s, const void* data, size_t size) {
  // Windows has no per-call "don't wait" flag: the socket's own mode decides.
  int n = send(native(s), static_cast<const char*>(data), call_size(size), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

void shutdown_sending(Socket s) { shutdown(native(s), SD_SEND); }

void abort_connection(Socket s) {
  linger reset{1, 0};
  setsockopt(native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
}

void close_socket(Socket s) {
  if (s == NO_SOCKET) return;
  closesocket(native(s));
}

int set_non_blocking(Socket s) { return set_blocking_mode(s, 1); }

int socket_limit() {
  // Windows sets no count of sockets per process; memory runs out first.
  return INT_MAX;
}

int set_keepalive(Socket s) {
  // Windows sends 10 probes, a number it does not let a program change: they
  // are spread over the time the probes take elsewhere, so a vanished peer is
  // found out as soon.
  constexpr unsigned WINDOWS_PROBES = 10;
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = KEEPALIVE_IDLE_S * 1000;
  values.keepaliveinterval = KEEPALIVE_INTERVAL_S * KEEPALIVE_PROBES * 1000 / WINDOWS_PROBES;
  DWORD returned = 0;
  if (WSAIoctl(native(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
               nullptr, nullptr) != 0) {
    return WSAGetLastError();
  }
  return 0;
}

}  // namespace kiv
