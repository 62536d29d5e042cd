#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>

#include "platform/clock.h"
#include "platform/socket_address.h"
#include "platform/socket_watcher.h"

namespace kiv {

namespace {

// A connect in progress looks whether it should give up this often.
constexpr uint64_t CONNECT_STEP_MS = 500;

SOCKET native(Socket s) { return static_cast<SOCKET>(s); }

Socket ours(SOCKET s) { return s == INVALID_SOCKET ? NO_SOCKET : static_cast<Socket>(s); }

// Winsock takes lengths as int: a larger block goes in several calls.
int call_size(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

int set_blocking_mode(Socket s, u_long non_blocking) {
  return ioctlsocket(native(s), FIONBIO, &non_blocking) == 0 ? 0 : -1;
}

}  // namespace

const int MAX_LISTEN_BACKLOG = SOMAXCONN;

int start_sockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

int last_socket_error() { return WSAGetLastError(); }

bool is_connection_reset(int error) { return error == WSAECONNRESET; }

bool is_would_block(int error) { return error == WSAEWOULDBLOCK; }

bool is_out_of_resources(int error) { return error == WSAEMFILE || error == WSAENOBUFS; }

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

int wait_readable(Socket s, int timeout_ms) {
  // A set of one socket: Windows' fd_set is a list of handles, not a bit
  // map, so no socket value is too large for it.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(native(s), &readable);
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int result = select(0, &readable, nullptr, nullptr, &timeout);
  if (result == SOCKET_ERROR) return -1;
  return result > 0 ? 1 : 0;
}

int wait_any_readable(const Socket* sockets, int count, int timeout_ms, int& ready) {
  // Windows' fd_set is a list of handles, not a bit map, so no socket value
  // is too large for it; it holds FD_SETSIZE of them.
  fd_set readable;
  FD_ZERO(&readable);
  if (count > MAX_WAITED_SOCKETS) count = MAX_WAITED_SOCKETS;
  for (int i = 0; i < count; ++i) FD_SET(native(sockets[i]), &readable);
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int result = select(0, &readable, nullptr, nullptr, &timeout);
  if (result == SOCKET_ERROR) return -1;
  for (int i = 0; i < count && result > 0; ++i) {
    if (FD_ISSET(native(sockets[i]), &readable)) {
      ready = i;
      return 1;
    }
  }
  return 0;
}

Socket accept_client(Socket listening, NetAddress& peer) {
  sockaddr_storage native_peer{};
  int length = sizeof native_peer;
  Socket client =
      ours(accept(native(listening), reinterpret_cast<sockaddr*>(&native_peer), &length));
  peer = address_of(native_peer);
  // An accepted socket takes the listener's mode here; Linux gives a blocking one.
  if (client != NO_SOCKET) set_blocking_mode(client, 0);
  return client;
}

int connect_to_address(Socket s, const NetAddress& address, uint16_t port, uint64_t deadline,
                       const std::atomic<bool>* give_up) {
  // Windows itself gives up on a host that never answers after about 21 s,
  // but nothing would stop it sooner: the connect runs non-blocking and is
  // waited for in steps.
  if (set_blocking_mode(s, 1) != 0) return -1;
  sockaddr_storage target;
  int length = native_address(address, port, target);
  if (connect(native(s), reinterpret_cast<sockaddr*>(&target), length) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    for (;;) {
      uint64_t now = tick_count_ms();
      if (now >= deadline) {
        WSASetLastError(WSAETIMEDOUT);
        return -1;
      }
      // A connect that failed shows in the exceptions set here, not as writable.
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(native(s), &writable);
      FD_SET(native(s), &failed);
      uint64_t step = std::min<uint64_t>(deadline - now, CONNECT_STEP_MS);
      timeval timeout{0, static_cast<long>(step * 1000)};
      int ready = select(0, nullptr, &writable, &failed, &timeout);
      if (ready == SOCKET_ERROR) return -1;
      if (ready > 0) {
        if (FD_ISSET(native(s), &failed)) {
          int error = 0;
          int error_length = sizeof error;
          getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &error_length);
          WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
          return -1;
        }
        break;
      }
      if (give_up != nullptr && *give_up) {
        WSASetLastError(WSAEINTR);
        return -1;
      }
    }
  }
  return set_blocking_mode(s, 0);
}

long receive_some(Socket s, void* buffer, size_t size) {
  int n = recv(native(s), static_cast<char*>(buffer), call_size(size), 0);
  if (n != SOCKET_ERROR) return n;
  // Cancelled, or shut down before the call, by abort_connection: the end
  // of the data, as a shutdown gives on Linux.
  int error = WSAGetLastError();
  return error == WSA_OPERATION_ABORTED || error == WSAESHUTDOWN ? 0 : -1;
}

long send_all(Socket s, const void* data, size_t size) {
  const char* next = static_cast<const char*>(data);
  size_t left = size;
  while (left > 0) {
    int n = send(native(s), next, call_size(left), 0);
    if (n == SOCKET_ERROR) return -1;
    next += n;
    left -= static_cast<size_t>(n);
  }
  return static_cast<long>(size);
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
  shutdown(native(s), SD_RECEIVE);
  // A shutdown does not wake a receive waiting in another thread here.
  CancelIoEx(reinterpret_cast<HANDLE>(native(s)), nullptr);
  mark_shut_down(s);
}

void close_socket(Socket s) {
  if (s == NO_SOCKET) return;
  forget_shut_down(s);
  closesocket(native(s));
}

int set_non_blocking(Socket s) { return set_blocking_mode(s, 1); }

int socket_limit() {
  // Windows sets no count of sockets per process; memory runs out first.
  return INT_MAX;
}

}  // namespace kiv
