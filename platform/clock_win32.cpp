#include "platform/clock.h"

#include <windows.h>

#include <ctime>

namespace kiv {

void sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

uint64_t tick_count_ms() { return GetTickCount64(); }

void format_timestamp(char (&text)[TIMESTAMP_LENGTH + 1]) {
  time_t now = time(nullptr);
  tm local{};
  localtime_s(&local, &now);
  if (strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y", &local) != TIMESTAMP_LENGTH) {
    // A year beyond four digits: keep the layout's length all the same.
    text[TIMESTAMP_LENGTH] = '\0';
  }
}

}  // namespace kiv
