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

void format_timestamp(char (&text)[TIMESTAMP_LENGTH + 1]) {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  if (strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y", &local) != TIMESTAMP_LENGTH) {
    // A year beyond four digits: keep the layout's length all the same.
    text[TIMESTAMP_LENGTH] = '\0';
  }
}

}  // namespace kiv
