#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace kiv {

void sleep_ms(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t tick_count_ms() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

std::tm local_time_now() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace kiv
