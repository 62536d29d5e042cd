#pragma once
// Engine is what the services run on: one event loop per processor (at most
// MAX_LOOPS), the first of which also accepts every client and serves the
// control port, and the pool of threads that look host names up and load
// table files, so that no loop ever waits for them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/event_loop.h"
#include "core/lookup_pool.h"

namespace kiv {

/// Most event loops an engine runs, whatever the processors.
constexpr int MAX_LOOPS = 8;

struct Relay;

/// RelayLoop is one loop of an engine, with what its relays share. Apart
/// from `loop`, it is its loop thread's alone.
struct RelayLoop {
  EventLoop loop;
  class Engine* engine = nullptr;
  /// Relays still looking their host up or connecting: a reset ends them.
  std::vector<Relay*> preparing;
  /// Blocks the loop's relays have given back, kept for the next.
  std::vector<std::unique_ptr<uint8_t[]>> spare_blocks;
};

class Engine {
 public:
  /// `loop_count` loops (0: one per processor), each started by start.
  explicit Engine(int loop_count = 0);
  /// Starts every loop's thread: 0, or the platform's error code.
  int start();

  /// The loop that accepts clients and serves the control port.
  RelayLoop& accepting_loop() { return *loops_[0]; }
  /// The loop the next accepted client is relayed on: each in turn.
  RelayLoop& next_loop();
  int loop_count() const { return static_cast<int>(loops_.size()); }
  /// Has every loop run its checks now (a reset was asked for).
  void wake_all();
  LookupPool& lookups() { return lookups_; }

  /// Pipes open for the relays of every loop.
  std::atomic<int> pipes_open{0};
  /// Lookups queued or running on the pool: each may hold a socket.
  std::atomic<int> lookups_under_way{0};
  /// Descriptors the engine holds besides relays and listening sockets.
  int descriptors_held() const { return 2 * loop_count() + pipes_open + lookups_under_way; }

 private:
  std::vector<std::unique_ptr<RelayLoop>> loops_;
  std::atomic<unsigned> turn_{0};
  LookupPool lookups_;
};

}  // namespace kiv
