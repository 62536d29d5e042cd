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

Socket create_tcp_socket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int bind_any_address(Socket s, uint16_t port) {
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  return bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : -1;
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

Socket accept_client(Socket listening) {
  Socket client;
  do {
    client = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
  } while (client < 0 && errno == EINTR);
  return client;
}

int connect_to_address(Socket s, uint32_t address, uint16_t port,
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
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = address;
  target.sin_port = htons(port);
  int error = 0;
  if (connect(s, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return -1;
    const uint64_t deadline = tick_count_ms() + CONNECT_TIMEOUT_MS;
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
    socklen_t length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
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
