#pragma once
// The work the bench puts through a forwarder, from the client's side: every
// call is bounded in time and reports failures instead of waiting forever.

#include <chrono>
#include <cstdint>
#include <vector>

namespace kiv_bench {

/// Bytes per second through `port`, with `streams` connections sending
/// `total_bytes` between them at once; 0 when a stream failed. Every stream
/// is connected end to end before the clock starts, and the clock stops when
/// the server has confirmed the last byte of every stream.
double stream_throughput(uint16_t port, int streams, uint64_t total_bytes);

/// Microseconds from the start of one connect through `port` to the echo of
/// its first byte, or -1 when the connection failed.
double connect_and_echo_us(uint16_t port);

/// EchoUnderLoad is the round trip of 1 byte on a kept connection while bulk
/// streams run through the same way; zeros when no echo came back.
struct EchoUnderLoad {
  double median_us = 0;
  double p99_us = 0;
};

/// 1-byte echoes, one a millisecond on one connection through `port`, while
/// `streams` connections send `stream_bytes` between them through `port`;
/// the echoes stop when the streams end.
EchoUnderLoad echo_under_streams(uint16_t port, int streams, uint64_t stream_bytes);

/// RedisRates are the requests a second that redis-benchmark reported.
struct RedisRates {
  double set_per_s = 0;
  double get_per_s = 0;
};

/// `redis-benchmark -q -c clients -n requests -t set,get` against the
/// redis-server reached through `port`; zeros for what it did not report.
RedisRates redis_benchmark(uint16_t port, int clients, int requests);

/// Sends RESET to the control port on `control_port` and reads its answer
/// until the port closes; false when that failed.
bool order_reset(uint16_t control_port);

/// Whether a new client of `port` has a byte echoed before `deadline`. New
/// clients are started every few milliseconds and the first echo ends the
/// wait, so that a client held in the backlog of a listener about to close
/// does not hold up the wait.
bool echoes_before(uint16_t port, std::chrono::steady_clock::time_point deadline);

/// ConnectionRate is how a burst or a steady stream of short connections
/// (connect, 1-byte echo, close) went.
struct ConnectionRate {
  double per_second = 0;
  int failed = 0;
};

/// `connections` short connections through `port`, made by `clients`
/// threads at once, each starting its next as soon as its last is closed.
/// Those not started within a minute count as failed.
ConnectionRate connection_burst(uint16_t port, int connections, int clients);

/// Short connections through `port` at `per_second` for `seconds`, each
/// started on its schedule by the first of `clients` threads that is free;
/// one that cannot start within a second of its time counts as failed.
ConnectionRate steady_connections(uint16_t port, int per_second, int seconds, int clients);

/// SilentClients are connections to a forwarder that send nothing, held
/// until they are destroyed.
class SilentClients {
 public:
  SilentClients(uint16_t port, int count);
  ~SilentClients();
  int connected() const { return static_cast<int>(fds_.size()); }

 private:
  std::vector<int> fds_;
};

/// HeldRelays are open connections through a forwarder, each of which has
/// echoed one byte, held until it is destroyed.
class HeldRelays {
 public:
  explicit HeldRelays(uint16_t port) : port_(port) {}
  ~HeldRelays();
  /// Opens relays one after another until `count` are open; false at the
  /// first that fails to connect or to echo.
  bool open_until(int count);
  int open() const { return static_cast<int>(fds_.size()); }
  /// How many of the open relays echo one more byte.
  int answering();

 private:
  uint16_t port_;
  std::vector<int> fds_;
};

/// The value below which `fraction` of `values` lie (0.5: the median).
double percentile(std::vector<double> values, double fraction);

}  // namespace kiv_bench
