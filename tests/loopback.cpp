#include "tests/loopback.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <list>
#include <mutex>
#include <random>

namespace kiv_test {

namespace {

// `text` (an address of either family) and `port` as a socket address.
socklen_t socket_address(const std::string& text, uint16_t port, sockaddr_storage& address) {
  address = sockaddr_storage{};
  auto& six = reinterpret_cast<sockaddr_in6&>(address);
  if (inet_pton(AF_INET6, text.c_str(), &six.sin6_addr) == 1) {
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(port);
    return sizeof six;
  }
  auto& four = reinterpret_cast<sockaddr_in&>(address);
  four.sin_family = AF_INET;
  four.sin_port = htons(port);
  inet_pton(AF_INET, text.c_str(), &four.sin_addr);
  return sizeof four;
}

}  // namespace

bool has_ipv6_loopback() {
  sockaddr_storage address;
  socklen_t length = socket_address("::1", 0, address);
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
  if (fd >= 0) close(fd);
  return bound;
}

int connect_to(const std::string& to, uint16_t port, const std::string& from, int deadline_ms,
               int receive_buffer) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  sockaddr_storage target, source;
  socklen_t target_length = socket_address(to, port, target);
  socklen_t source_length = socket_address(from, 0, source);
  for (;;) {
    int fd = socket(target.ss_family, SOCK_STREAM, 0);
    if (receive_buffer > 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    bool bound =
        from.empty() || bind(fd, reinterpret_cast<sockaddr*>(&source), source_length) == 0;
    if (bound && connect(fd, reinterpret_cast<sockaddr*>(&target), target_length) == 0) {
      set_receive_timeout(fd, 30000);
      return fd;
    }
    close(fd);
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

uint16_t free_port() {
  // Below the range the system hands out to outgoing connections, so that no
  // client socket of a test running beside this one can take the port; taken
  // in turn from a random start, so that no port is handed out twice.
  static std::mutex guard;
  static uint16_t next = static_cast<uint16_t>(std::random_device{}() % 12000);
  std::lock_guard<std::mutex> lock(guard);
  for (;;) {
    uint16_t port = static_cast<uint16_t>(20000 + next++ % 12000);
    sockaddr_storage address;
    socklen_t length = socket_address("0.0.0.0", port, address);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    close(fd);
    if (free) return port;
  }
}

int connect_loopback(uint16_t port, int deadline_ms, int receive_buffer) {
  return connect_to("127.0.0.1", port, "", deadline_ms, receive_buffer);
}

void set_receive_timeout(int fd, int timeout_ms) {
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

bool send_bytes(int fd, const std::string& data) {
  for (size_t sent = 0; sent < data.size();) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string receive(int fd, size_t size) {
  std::string data;
  char block[65536];
  while (data.size() < size) {
    ssize_t n = recv(fd, block, std::min(sizeof block, size - data.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(block, static_cast<size_t>(n));
  }
  return data;
}

int receive_to_end(int fd) {
  char block[65536];
  ssize_t n;
  while ((n = recv(fd, block, sizeof block, 0)) > 0 || (n < 0 && errno == EINTR)) {
  }
  return n == 0 ? 0 : errno;
}

void reset_on_close(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

void close_with_reset(int fd) {
  reset_on_close(fd);
  close(fd);
}

std::string round_trip(uint16_t port, const std::string& data) {
  return session("127.0.0.1", port, data);
}

std::string session(const std::string& to, uint16_t port, const std::string& data) {
  int fd = connect_to(to, port);
  if (fd < 0) return "no connection";
  send_bytes(fd, data);
  shutdown(fd, SHUT_WR);
  std::string back = receive(fd);
  close(fd);
  return back;
}

bool echoes(uint16_t port) {
  int fd = connect_loopback(port, 2000);
  if (fd < 0) return false;
  set_receive_timeout(fd, 3000);
  bool echoed = send_bytes(fd, "x") && receive(fd, 1) == "x";
  close(fd);
  return echoed;
}

LoopbackServer::LoopbackServer(std::function<void(int)> handler, const std::string& address)
    : handler_(std::move(handler)) {
  sockaddr_storage local;
  socklen_t length = socket_address(address, 0, local);
  listening_ = socket(local.ss_family, SOCK_STREAM, 0);
  bind(listening_, reinterpret_cast<sockaddr*>(&local), length);
  listen(listening_, 512);
  getsockname(listening_, reinterpret_cast<sockaddr*>(&local), &length);
  // The port lies at one place in both families' layouts.
  port_ = ntohs(reinterpret_cast<sockaddr_in&>(local).sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  acceptor_.join();
  close(listening_);
}

void LoopbackServer::accept_loop() {
  // Ended sessions are let go as new ones arrive, so a long run holds none;
  // the rest are waited for when the loop ends.
  std::list<std::future<void>> sessions;
  while (!stopping_) {
    sessions.remove_if([](std::future<void>& session) {
      return session.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
    pollfd entry{listening_, POLLIN, 0};
    if (poll(&entry, 1, 100) <= 0) continue;
    int fd = accept(listening_, nullptr, nullptr);
    if (fd < 0) continue;
    set_receive_timeout(fd, 60000);
    sessions.push_back(std::async(std::launch::async, [this, fd] {
      handler_(fd);
      close(fd);
    }));
  }
}

void echo_handler(int fd) {
  char block[65536];
  for (ssize_t n; (n = recv(fd, block, sizeof block, 0)) != 0;) {
    if (n < 0 && errno != EINTR) return;
    if (n > 0 && !send_bytes(fd, std::string(block, static_cast<size_t>(n)))) return;
  }
}

ReplayingRemote::ReplayingRemote(const std::string& address)
    : server_([this](int fd) {
        std::string data = receive(fd);
        {
          std::lock_guard<std::mutex> lock(guard_);
          received_ = data;
        }
        send_bytes(fd, data);
      }, address) {}

std::string ReplayingRemote::received() {
  std::lock_guard<std::mutex> lock(guard_);
  return received_;
}

bool eventually(const std::function<bool()>& condition, int deadline_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string random_bytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string data(size, '\0');
  for (char& byte : data) byte = static_cast<char>(generator());
  return data;
}

}  // namespace kiv_test
