#include "tests/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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

sockaddr_in loopback_address(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

}  // namespace

uint16_t free_port() {
  // Below the range the system hands out to outgoing connections, so that no
  // client socket of a test running beside this one can take the port; taken
  // in turn from a random start, so that no port is handed out twice.
  static std::mutex guard;
  static uint16_t next = static_cast<uint16_t>(std::random_device{}() % 12000);
  std::lock_guard<std::mutex> lock(guard);
  for (;;) {
    uint16_t port = static_cast<uint16_t>(20000 + next++ % 12000);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback_address(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (free) return port;
  }
}

int connect_loopback(uint16_t port, int deadline_ms, int receive_buffer) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address = loopback_address(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      set_receive_timeout(fd, 30000);
      return fd;
    }
    close(fd);
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
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

void close_with_reset(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

std::string round_trip(uint16_t port, const std::string& data) {
  int fd = connect_loopback(port);
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

LoopbackServer::LoopbackServer(std::function<void(int)> handler) : handler_(std::move(handler)) {
  listening_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback_address(0);
  socklen_t length = sizeof address;
  bind(listening_, reinterpret_cast<sockaddr*>(&address), length);
  listen(listening_, 512);
  getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
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
