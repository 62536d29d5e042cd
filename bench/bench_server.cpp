#include "bench/bench_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>

namespace kiv_bench {

namespace {

enum class Work { Unknown, Header, Sink, Echo, Done };

struct Connection {
  Work work = Work::Unknown;
  uint64_t remaining = 0;
  std::string pending;  // echoed bytes the socket did not take yet
};

class Server {
 public:
  explicit Server(int listening) : listening_(listening), poller_(epoll_create1(0)) {
    watch(listening_, EPOLLIN);
  }

  void run() {
    epoll_event events[256];
    const pid_t parent = getppid();
    while (getppid() == parent) {
      int count = epoll_wait(poller_, events, 256, 1000);
      for (int i = 0; i < count; ++i) {
        int fd = events[i].data.fd;
        if (fd == listening_) {
          accept_all();
          continue;
        }
        if (events[i].events & EPOLLOUT) flush(fd);
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) receive(fd);
      }
    }
  }

 private:
  void watch(int fd, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    epoll_ctl(poller_, EPOLL_CTL_ADD, fd, &event);
  }

  void rewatch(int fd, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    epoll_ctl(poller_, EPOLL_CTL_MOD, fd, &event);
  }

  void accept_all() {
    for (;;) {
      int fd = accept4(listening_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      connections_[fd] = Connection{};
      watch(fd, EPOLLIN);
    }
  }

  void drop(int fd) {
    epoll_ctl(poller_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    connections_.erase(fd);
  }

  void answer(int fd, Connection& connection, const char* data, size_t size) {
    if (connection.pending.empty()) {
      ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
      if (sent < 0) sent = 0;
      data += sent;
      size -= static_cast<size_t>(sent);
      if (size == 0) return;
      rewatch(fd, EPOLLIN | EPOLLOUT);
    }
    connection.pending.append(data, size);
  }

  void flush(int fd) {
    auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    std::string& pending = found->second.pending;
    ssize_t sent = send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
    if (sent > 0) pending.erase(0, static_cast<size_t>(sent));
    if (pending.empty()) rewatch(fd, EPOLLIN);
  }

  void receive(int fd) {
    auto found = connections_.find(fd);
    if (found == connections_.end()) return;
    ssize_t received = recv(fd, buffer_, sizeof buffer_, 0);
    if (received < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (received <= 0) {
      drop(fd);
      return;
    }
    take(fd, found->second, buffer_, static_cast<size_t>(received));
  }

  // Moves through the connection's protocol with the bytes just received.
  void take(int fd, Connection& connection, const char* data, size_t size) {
    while (size > 0) {
      switch (connection.work) {
        case Work::Unknown:
          connection.work = data[0] == 'S' ? Work::Header : Work::Echo;
          if (connection.work == Work::Header) {
            ++data;
            --size;
          }
          break;
        case Work::Header:
          if (*data == '\n') {
            connection.work = Work::Sink;
            answer(fd, connection, "R", 1);
          } else {
            connection.remaining = connection.remaining * 10 + static_cast<uint64_t>(*data - '0');
          }
          ++data;
          --size;
          break;
        case Work::Sink: {
          size_t taken = size < connection.remaining ? size : connection.remaining;
          connection.remaining -= taken;
          data += taken;
          size -= taken;
          if (connection.remaining == 0) {
            connection.work = Work::Done;
            answer(fd, connection, "K", 1);
          }
          break;
        }
        case Work::Echo:
          answer(fd, connection, data, size);
          size = 0;
          break;
        case Work::Done:
          size = 0;
          break;
      }
    }
  }

  int listening_;
  int poller_;
  std::unordered_map<int, Connection> connections_;
  char buffer_[256 * 1024];
};

}  // namespace

int listen_loopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 4096) != 0) {
    perror("listening on 127.0.0.1");
    exit(1);
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

BenchServer start_bench_server() {
  BenchServer server;
  int listening = listen_loopback(&server.port);
  server.pid = fork();
  if (server.pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    static Server serving(listening);
    serving.run();
    _exit(0);
  }
  close(listening);
  return server;
}

}  // namespace kiv_bench
