#pragma once
// The work the bench puts through a forwarder, from the client's side: every
// call is bounded in time and reports failures instead of waiting forever.

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
