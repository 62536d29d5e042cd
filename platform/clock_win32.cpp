#include "platform/clock.h"

#include <windows.h>

#include <ctime>

namespace kiv {

void sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

uint64_t tick_count_ms() { return GetTickCount64(); }

std::tm local_time_now() {
  time_t now = time(nullptr);
  tm local{};
  localtime_s(&local, &now);
  return local;
}

}  // namespace kiv
