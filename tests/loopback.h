#pragma once
// Loopback peers for the tests: clients, and servers that play the remote
// host behind a forwarded service. Every wait is bounded.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kiv_test {

/// A TCP port that nothing used a moment ago, new to this process, outside the
/// range the system gives to outgoing connections (so it refuses connections).
uint16_t free_port();

/// A client connected to `to` (a loopback address of either family) at `port`, from `from`
/// unless empty, with `receive_buffer` (above 0) as its receive buffer; tried again until
/// `deadline_ms` has passed, or -1. Its reads give up after 30 s.
int connect_to(const std::string& to, uint16_t port, const std::string& from = "",
               int deadline_ms = 10000, int receive_buffer = 0);
/// A client of 127.0.0.1 at `port`, as connect_to makes it.
int connect_loopback(uint16_t port, int deadline_ms = 10000, int receive_buffer = 0);
/// Whether this machine has the IPv6 loopback address ::1; tests of IPv6 skip without it.
bool has_ipv6_loopback();
#define KIV_REQUIRE_IPV6() \
  if (!kiv_test::has_ipv6_loopback()) GTEST_SKIP() << "no ::1 on this machine: IPv6 can't be shown"
/// Gives up on reads that take longer than `timeout_ms`.
void set_receive_timeout(int fd, int timeout_ms);

bool send_bytes(int fd, const std::string& data);
/// Reads `size` bytes, or fewer when the peer closes or goes silent; by
/// default until the peer closes.
std::string receive(int fd, size_t size = std::string::npos);
/// Reads until the stream ends: 0 when the peer ended it in order, or the
/// error that ended it (ECONNRESET for a reset).
int receive_to_end(int fd);
/// Makes the coming close of `fd` a reset instead of an orderly close.
void reset_on_close(int fd);
/// Closes with a reset instead of an orderly close.
void close_with_reset(int fd);
/// session with 127.0.0.1.
std::string round_trip(uint16_t port, const std::string& data);

/// Whether a byte sent to `port` comes back within a few seconds (an echo behind it).
bool echoes(uint16_t port);

/// A server on 127.0.0.1 (or another loopback address) that serves every accepted connection
/// with `handler` on a thread of its own until the server is destroyed, and closes the
/// connection when the handler returns (a handler that closed it too would close whatever
/// socket took its number meanwhile).
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(int fd)> handler,
                          const std::string& address = "127.0.0.1");
  ~LoopbackServer();
  uint16_t port() const { return port_; }

 private:
  void accept_loop();

  std::function<void(int)> handler_;
  int listening_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
};

/// Handler: sends back every byte until the peer closes, then closes.
void echo_handler(int fd);

/// ReplayingRemote is a remote host on a loopback address that keeps what a
/// session sent and, once the session has ended sending, sends it all back.
class ReplayingRemote {
 public:
  explicit ReplayingRemote(const std::string& address);
  uint16_t port() const { return server_.port(); }
  /// What the last session to end sending had sent.
  std::string received();

 private:
  std::mutex guard_;
  std::string received_;  // guarded by guard_
  LoopbackServer server_;
};

/// A client session with `to` at `port`: sends `data`, ends sending, and
/// returns what came back until the end ("no connection" when none was made).
std::string session(const std::string& to, uint16_t port, const std::string& data);

/// Polls `condition` every 20 ms until it holds or `deadline_ms` has passed.
bool eventually(const std::function<bool()>& condition, int deadline_ms = 20000);

/// Deterministic pseudo-random bytes.
std::string random_bytes(size_t size, uint32_t seed);

}  // namespace kiv_test
