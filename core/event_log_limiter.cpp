#include "core/event_log_limiter.h"

#include <cstdarg>
#include <cstdio>

#include "core/event_log.h"
#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/no_destructor.h"

namespace kiv {

namespace {

struct GuardedLimiter {
  Mutex guard;
  RepeatLimiter limiter GUARDED_BY(guard);
};

GuardedLimiter& the_limiter() {
  static NoDestructor<GuardedLimiter> limiter;
  return *limiter;
}

}  // namespace

bool RepeatLimiter::admit(const std::string& kind, uint64_t now_ms, unsigned long& left_out) {
  auto [entry, first] = kinds_.try_emplace(kind, Kind{now_ms, 0});
  Kind& seen = entry->second;
  if (!first && now_ms - seen.logged_ms < LIMITED_LINE_INTERVAL_MS) {
    ++seen.left_out;
    return false;
  }
  left_out = seen.left_out;
  seen = Kind{now_ms, 0};
  return true;
}

void log_event_limited(const char* kind, const char* format, ...) {
  char message[MESSAGE_SIZE];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  unsigned long left_out = 0;
  {
    GuardedLimiter& held = the_limiter();
    MutexLock lock(held.guard);
    if (!held.limiter.admit(kind != nullptr ? kind : message, tick_count_ms(), left_out)) return;
  }
  if (left_out == 0) {
    log_event(message);
  } else {
    log_eventf("%s (%lu more like it)", message, left_out);
  }
}

}  // namespace kiv
