#include "tests/loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <mutex>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace kiv_test {

namespace {

sockaddr_in loopback_address(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

uint16_t bound_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

}  // namespace

uint16_t free_port() {
  // Below the range the system hands out to outgoing connections, so that no
  // client socket of a test running beside this one can take the port.
  static std::mutex guard;
  static std::mt19937 chooser(std::random_device{}());
  std::lock_guard<std::mutex> lock(guard);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    uint16_t port = static_cast<uint16_t>(20000 + chooser() % 12000);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (free) return port;
  }
  return 0;
}

uint16_t refused_port() { return free_port(); }

int connect_loopback(uint16_t port, int deadline_ms, int receive_buffer) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
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
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string receive_exactly(int fd, size_t size) {
  std::string data(size, '\0');
  size_t got = 0;
  while (got < size) {
    ssize_t n = recv(fd, &data[got], size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  data.resize(got);
  return data;
}

std::string receive_until_closed(int fd) {
  std::string data;
  char block[65536];
  for (;;) {
    ssize_t n = recv(fd, block, sizeof block, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return data;
    data.append(block, static_cast<size_t>(n));
  }
}

int receive_to_end(int fd) {
  char block[65536];
  long n;
  while ((n = recv(fd, block, sizeof block, 0)) > 0) {
  }
  return n == 0 ? 0 : errno;
}

std::string receive_available(int fd, int quiet_ms) {
  std::string data;
  char block[4096];
  pollfd entry{fd, POLLIN, 0};
  // The first byte may take a while (the control port looks once a second).
  int wait = 10000;
  while (poll(&entry, 1, wait) > 0) {
    ssize_t n = recv(fd, block, sizeof block, 0);
    if (n <= 0) break;
    data.append(block, static_cast<size_t>(n));
    wait = quiet_ms;
  }
  return data;
}

void close_with_reset(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

LoopbackServer::LoopbackServer(std::function<void(int)> handler) : handler_(std::move(handler)) {
  listening_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback_address(0);
  bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listening_, 512);
  port_ = bound_port(listening_);
  acceptor_ = std::thread([this] { accept_loop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  acceptor_.join();
  close(listening_);
  std::lock_guard<std::mutex> lock(guard_);
  for (Session& session : sessions_) session.thread.join();
}

void LoopbackServer::accept_loop() {
  while (!stopping_) {
    {
      std::lock_guard<std::mutex> lock(guard_);
      for (auto session = sessions_.begin(); session != sessions_.end();) {
        if (!*session->ended) {
          ++session;
          continue;
        }
        session->thread.join();
        session = sessions_.erase(session);
      }
    }
    pollfd entry{listening_, POLLIN, 0};
    if (poll(&entry, 1, 100) <= 0) continue;
    int fd = accept(listening_, nullptr, nullptr);
    if (fd < 0) continue;
    set_receive_timeout(fd, 60000);
    ++accepted_;
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> lock(guard_);
    sessions_.push_back(Session{std::thread([this, fd, ended] {
                                  handler_(fd);
                                  close(fd);
                                  *ended = true;
                                }),
                                ended});
  }
}

void SharedBytes::put(std::string bytes) {
  std::lock_guard<std::mutex> lock(guard_);
  bytes_ = std::move(bytes);
}

std::string SharedBytes::get() {
  std::lock_guard<std::mutex> lock(guard_);
  return bytes_;
}

void echo_handler(int fd) {
  char block[65536];
  for (;;) {
    ssize_t n = recv(fd, block, sizeof block, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    if (!send_bytes(fd, std::string(block, static_cast<size_t>(n)))) return;
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
  for (char& byte : data) byte = static_cast<char>(generator() & 0xFF);
  return data;
}

}  // namespace kiv_test
