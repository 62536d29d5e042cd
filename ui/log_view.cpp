#include "ui/log_view.h"

#include <cstring>
#include <new>

#include "core/event_log.h"

namespace kiv {

LogView::Refresh LogView::refresh() {
  Refresh outcome = Refresh::Unchanged;
  read_event_log([&](const EventLog& log) {
    int n = log.line_count;
    if (n <= lines_shown_) return;
    text_.reset();
    size_t size = 1;
    for (int i = 0; i < n; ++i) size += strlen(log.lines[i].get()) + 2;
    text_.reset(new (std::nothrow) char[size]);
    if (!text_) {
      outcome = Refresh::OutOfMemory;
      return;
    }
    char* end = text_.get();
    for (int i = 0; i < n; ++i) {
      size_t length = strlen(log.lines[i].get());
      memcpy(end, log.lines[i].get(), length);
      end += length;
      *end++ = '\r';
      *end++ = '\n';
    }
    *end = '\0';
    lines_shown_ = n;
    outcome = Refresh::Rebuilt;
  });
  return outcome;
}

void LogView::clear() {
  text_.reset();
  lines_shown_ = 0;
}

}  // namespace kiv
