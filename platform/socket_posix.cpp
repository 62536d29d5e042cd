#include "platform/socket.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/socket_address.h"

namespace kiv {

namespace {

// A connect in progress looks whether it should give up this often.
constexpr uint64_t CONNECT_STEP_MS = 500;

}  // namespace

const int MAX_LISTEN_BACKLOG = SOMAXCONN;

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

bool is_connection_reset(int error) { return error == ECONNRESET; }

bool is_would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool is_out_of_resources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
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

int wait_readable(Socket s, int timeout_ms) {
  pollfd entry{static_cast<int>(s), POLLIN, 0};
  int result;
  do {
    result = poll(&entry, 1, timeout_ms);
  } while (result < 0 && errno == EINTR);
  if (result > 0 && (entry.revents & POLLNVAL)) {
    errno = EBADF;
    return -1;
  }
  return result > 0 ? 1 : result;
}

int wait_any_readable(const Socket* sockets, int count, int timeout_ms, int& ready) {
  pollfd entries[MAX_WAITED_SOCKETS];
  if (count > MAX_WAITED_SOCKETS) count = MAX_WAITED_SOCKETS;
  for (int i = 0; i < count; ++i) entries[i] = pollfd{static_cast<int>(sockets[i]), POLLIN, 0};
  int result;
  do {
    result = poll(entries, static_cast<nfds_t>(count), timeout_ms);
  } while (result < 0 && errno == EINTR);
  if (result <= 0) return result;
  for (int i = 0; i < count; ++i) {
    if (entries[i].revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
    if (entries[i].revents != 0) {
      ready = i;
      return 1;
    }
  }
  return 0;
}

Socket accept_client(Socket listening, NetAddress& peer) {
  sockaddr_storage native{};
  Socket client;
  do {
    socklen_t length = sizeof native;
    client = accept4(listening, reinterpret_cast<sockaddr*>(&native), &length, SOCK_CLOEXEC);
  } while (client < 0 && errno == EINTR);
  peer = address_of(native);
  return client;
}

int connect_to_address(Socket s, const NetAddress& address, uint16_t port, uint64_t deadline,
                       const std::atomic<bool>* give_up) {
  // Linux itself would wait over two minutes for a host that never answers:
  // the connect runs non-blocking and is waited for in steps.
  int flags = fcntl(s, F_GETFL, 0);
  if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  // The port Linux gives this connection may be a service port whose
  // listener is closed for a restart: while the connection is open, and a
  // minute after it ends, it would keep the listener from binding again
  // unless both allow the address to be reused.
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage target;
  socklen_t length = native_address(address, port, target);
  int error = 0;
  if (connect(s, reinterpret_cast<sockaddr*>(&target), length) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return -1;
    for (;;) {
      uint64_t now = tick_count_ms();
      if (now >= deadline) {
        errno = ETIMEDOUT;
        return -1;
      }
      pollfd entry{static_cast<int>(s), POLLOUT, 0};
      int ready = poll(&entry, 1, static_cast<int>(std::min<uint64_t>(deadline - now, CONNECT_STEP_MS)));
      if (ready > 0) break;
      if (ready < 0 && errno != EINTR) return -1;
      if (give_up != nullptr && *give_up) {
        errno = EINTR;
        return -1;
      }
    }
    socklen_t error_length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &error_length);
  }
  if (error != 0) {
    errno = error;
    return -1;
  }
  return fcntl(s, F_SETFL, flags) == 0 ? 0 : -1;
}

long receive_some(Socket s, void* buffer, size_t size) {
  ssize_t n;
  do {
    n = recv(s, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

long send_all(Socket s, const void* data, size_t size) {
  const char* next = static_cast<const char*>(data);
  size_t left = size;
  while (left > 0) {
    ssize_t n = send(s, next, left, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    next += n;
    left -= static_cast<size_t>(n);
  }
  return static_cast<long>(size);
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
  shutdown(s, SHUT_RD);
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

}  // namespace kiv
