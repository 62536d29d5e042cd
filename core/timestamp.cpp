#include "core/timestamp.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"

namespace kiv {

namespace {

constexpr char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

void format_timestamp(const std::tm& when, char (&text)[TIMESTAMP_LENGTH + 1]) {
  // The names come from our own tables: the C library's names and layouts
  // follow the locale, which a window toolkit sets from the user's.
  char whole[64];
  snprintf(whole, sizeof whole, "%s %s %02d %02d:%02d:%02d %04d",
           kDays[static_cast<unsigned>(when.tm_wday) % 7],
           kMonths[static_cast<unsigned>(when.tm_mon) % 12], when.tm_mday, when.tm_hour,
           when.tm_min, when.tm_sec, when.tm_year + 1900);
  // A year beyond four digits: keep the layout's length all the same.
  memcpy(text, whole, TIMESTAMP_LENGTH);
  text[TIMESTAMP_LENGTH] = '\0';
}

void format_timestamp(char (&text)[TIMESTAMP_LENGTH + 1]) {
  format_timestamp(local_time_now(), text);
}

}  // namespace kiv
