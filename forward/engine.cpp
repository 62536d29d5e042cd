#include "forward/engine.h"

#include <algorithm>
#include <thread>

namespace kiv {

Engine::Engine(int loop_count)
    : lookups_(LOOKUP_THREADS, LOOKUP_THREADS_PER_SERVICE, LOOKUP_IDLE_MS) {
  if (loop_count <= 0) loop_count = static_cast<int>(std::thread::hardware_concurrency());
  loop_count = std::clamp(loop_count, 1, MAX_LOOPS);
  for (int i = 0; i < loop_count; ++i) {
    loops_.emplace_back(new RelayLoop);
    loops_.back()->engine = this;
  }
}

int Engine::start() {
  for (std::unique_ptr<RelayLoop>& relays : loops_) {
    int error = relays->loop.start();
    if (error != 0) return error;
  }
  return 0;
}

RelayLoop& Engine::next_loop() { return *loops_[turn_++ % loops_.size()]; }

void Engine::wake_all() {
  for (std::unique_ptr<RelayLoop>& relays : loops_) relays->loop.wake();
}

}  // namespace kiv
