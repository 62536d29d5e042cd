#include "core/engine_counters.h"

#include "platform/clock.h"

namespace kiv {

std::atomic<bool> reset_pending{false};
std::atomic<int> running_count{0};
std::atomic<int> connection_count{0};

namespace {

std::atomic<uint64_t> start_seconds{0};

}  // namespace

uint64_t start_time() { return start_seconds.load(); }

void take_start_time() { start_seconds.store(tick_count_ms() / 1000); }

}  // namespace kiv
