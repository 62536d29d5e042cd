#pragma once
// Loopback peers for the tests: clients, and servers that play the remote
// host behind a forwarded service. Every wait is bounded.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kiv_test {

/// A TCP port that nothing used a moment ago, outside the range of ports
/// the system gives to outgoing connections.
uint16_t free_port();
/// A port on 127.0.0.1 that refuses connections.
uint16_t refused_port();

/// A client connected to 127.0.0.1:port (retrying up to `deadline_ms` while
/// nothing listens yet), or -1. A `receive_buffer` above 0 sets the client's
/// receive buffer before it connects.
int connect_loopback(uint16_t port, int deadline_ms = 10000, int receive_buffer = 0);
/// Gives up on reads that take longer than `timeout_ms`.
void set_receive_timeout(int fd, int timeout_ms);

bool send_bytes(int fd, const std::string& data);
/// Reads exactly `size` bytes, or fewer when the peer closes or goes silent.
std::string receive_exactly(int fd, size_t size);
/// Reads until the peer closes or goes silent.
std::string receive_until_closed(int fd);
/// Reads until the stream ends: 0 when the peer ended it in order, or the
/// error that ended it (ECONNRESET for a reset).
int receive_to_end(int fd);
/// Reads what arrives within `quiet_ms` of silence after the first byte.
std::string receive_available(int fd, int quiet_ms = 300);
/// Closes with a reset instead of an orderly close.
void close_with_reset(int fd);

/// A server on 127.0.0.1 that serves every accepted connection with
/// `handler` on a thread of its own until the server is destroyed.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(int fd)> handler);
  ~LoopbackServer();
  uint16_t port() const { return port_; }
  int accepted() const { return accepted_; }

 private:
  void accept_loop();

  std::function<void(int)> handler_;
  int listening_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::thread acceptor_;
  struct Session {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };
  // Ended sessions are joined as new ones arrive, so a long run holds none.
  std::mutex guard_;
  std::list<Session> sessions_;  // guarded by guard_
};

/// SharedBytes hands what a server's session received over to the test's thread.
class SharedBytes {
 public:
  void put(std::string bytes);
  std::string get();

 private:
  std::mutex guard_;
  std::string bytes_;  // guarded by guard_
};

/// Handler: sends back every byte until the peer closes, then closes.
void echo_handler(int fd);

/// Polls `condition` every 20 ms until it holds or `deadline_ms` has passed.
bool eventually(const std::function<bool()>& condition, int deadline_ms = 20000);

/// Deterministic pseudo-random bytes.
std::string random_bytes(size_t size, uint32_t seed);

}  // namespace kiv_test
