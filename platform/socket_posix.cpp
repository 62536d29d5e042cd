#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/socket_address.h"

namespace kiv {

const int MAX_LISTEN_BACKLOG = SOMAXCONN;
const int TIMED_OUT_ERROR = ETIMEDOUT;
const int CONNECTION_RESET_ERROR = ECONNRESET;
const int INTERRUPTED_ERROR = EINTR;

int start_sockets() {
  signal(SIGPIPE, SIG_IGN);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  return 0;
}

int last_socket_error() { return errno; }

// A reset that comes after the peer's own end is reported as a broken pipe.
bool is_connection_reset(int error) { return error == ECONNRESET || error == EPIPE; }

bool is_would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool is_out_of_resources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

bool is_pending_connection_error(int error) {
  // accept(2) passes on a waiting connection's network errors; EPERM is a
  // firewall's refusal of that connection.
  switch (error) {
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:
      return true;
    default:
      return false;
  }
}

Socket create_tcp_socket(AddressFamily family) {
  return socket(native_family(family), SOCK_STREAM | SOCK_CLOEXEC, 0);
}

int bind_address(Socket s, const NetAddress& address, uint16_t port, bool with_ipv4) {
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address.family == AddressFamily::IPv6) {
    // Set either way: the system's default (net.ipv6.bindv6only) is the operator's to change.
    int v6_only = with_ipv4 ? 0 : 1;
    if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only) != 0) return -1;
  }
  sockaddr_storage native;
  socklen_t length = native_address(address, port, native);
  return bind(s, reinterpret_cast<sockaddr*>(&native), length) == 0 ? 0 : -1;
}

int listen_on(Socket s, int backlog) { return listen(s, backlog) == 0 ? 0 : -1; }

Socket accept_client(Socket listening, NetAddress& peer, uint16_t& peer_port) {
  sockaddr_storage native{};
  Socket client;
  do {
    socklen_t length = sizeof native;
    client = accept4(listening, reinterpret_cast<sockaddr*>(&native), &length,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (client < 0 && errno == EINTR);
  peer = address_of(native);
  peer_port = port_of(native);
  return client;
}

int bind_any_port(Socket s, AddressFamily family) {
  sockaddr_storage address;
  socklen_t length = native_address(any_address(family), 0, address);
  return bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0 ? 0 : -1;
}

uint16_t local_port(Socket s) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return port_of(address);
}

int start_connect(Socket s, const NetAddress& address, uint16_t port) {
  if (set_non_blocking(s) != 0) return -1;
  // The port Linux gives this connection may be a service port whose
  // listener is closed for a restart: while the connection is open, and a
  // minute after it ends, it would keep the listener from binding again
  // unless both allow the address to be reused.
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage target;
  socklen_t length = native_address(address, port, target);
  if (connect(s, reinterpret_cast<sockaddr*>(&target), length) == 0) return 0;
  return errno == EINPROGRESS || errno == EINTR ? 1 : -1;
}

int pending_socket_error(Socket s) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

long receive_some(Socket s, void* buffer, size_t size) {
  ssize_t n;
  do {
    n = recv(s, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

long send_without_waiting(Socket s, const void* data, size_t size) {
  ssize_t n;
  do {
    n = send(s, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n;
}

void shutdown_sending(Socket s) { shutdown(s, SHUT_WR); }

void abort_connection(Socket s) {
  linger reset{1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

void close_socket(Socket s) {
  if (s >= 0) close(s);
}

int set_non_blocking(Socket s) {
  int flags = fcntl(s, F_GETFL, 0);
  if (flags < 0) return -1;
  return fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int socket_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur > INT_MAX) return INT_MAX;
  return static_cast<int>(limit.rlim_cur);
}

int set_keepalive(Socket s) {
  const int options[][3] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                            {IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_S},
                            {IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S},
                            {IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_PROBES}};
  for (const auto& option : options) {
    if (setsockopt(s, option[0], option[1], &option[2], sizeof option[2]) != 0) return errno;
  }
  return 0;
}

}  // namespace kiv
