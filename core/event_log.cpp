#include "core/event_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/no_destructor.h"
#include "core/timestamp.h"
#include "core/window_thread.h"
#include "platform/files.h"
#include "platform/mutex.h"

namespace kiv {

namespace {

struct GuardedLog {
  Mutex guard;
  EventLog log GUARDED_BY(guard);
  // The operator has been told that kiv.log can't be appended to, and no
  // flush has worked since: a log stuck at its threshold would otherwise
  // tell them again at every line.
  bool failure_shown GUARDED_BY(guard) = false;
  unsigned long echo_dropped GUARDED_BY(guard) = 0;  // lines the echo could not take
};

GuardedLog& the_log() {
  static NoDestructor<GuardedLog> log;
  return *log;
}

std::atomic<bool (*)(const char*)> log_echo{nullptr};

// Set while this thread logs the failure line of its own flush, which must not
// start another flush.
thread_local bool logging_flush_failure = false;

bool log_is_nearly_full() {
  GuardedLog& held = the_log();
  MutexLock lock(held.guard);
  return held.log.line_count >= LOG_FLUSH_THRESHOLD;
}

void release_lines(EventLog& log) {
  for (int i = 0; i < log.line_count && i < LOG_CAPACITY; ++i) log.lines[i].reset();
  log.line_count = 0;
}

// Echoes `line`, under the log's guard so that the echo and the log hold
// the lines in one order. The echo never waits: a reader of it that falls
// behind costs it lines, never the agent its relays.
void echo_line(bool (*echo)(const char*), const char* line, GuardedLog& held)
    REQUIRES(held.guard) {
  if (held.echo_dropped > 0) {
    char note[64];
    snprintf(note, sizeof note, "KIV Echo: %lu lines dropped", held.echo_dropped);
    if (!echo(note)) {
      ++held.echo_dropped;
      return;
    }
    held.echo_dropped = 0;
  }
  if (!echo(line)) ++held.echo_dropped;
}

}  // namespace

void log_event(const char* text) {
  if (!logging_flush_failure && log_is_nearly_full()) flush_event_log();

  char stamp[TIMESTAMP_LENGTH + 1];
  format_timestamp(stamp);
  size_t size = strlen(text) + TIMESTAMP_LENGTH + 4;
  std::unique_ptr<char[]> line(new (std::nothrow) char[size]);
  if (!line) return;
  snprintf(line.get(), size, "%s: %s", stamp, text);

  GuardedLog& held = the_log();
  MutexLock lock(held.guard);
  if (auto echo = log_echo.load()) echo_line(echo, line.get(), held);
  // A full log that could not be flushed drops the new line rather than grow.
  if (held.log.line_count >= LOG_CAPACITY) return;
  held.log.lines[held.log.line_count++] = std::move(line);
}

void log_eventf(const char* format, ...) {
  char message[MESSAGE_SIZE];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  log_event(message);
}

void log_message(char* message, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(message, MESSAGE_SIZE, format, arguments);
  va_end(arguments);
  log_event(message);
}

void flush_event_log() {
  static const char* const kFailure = "Can't open log_file...";
  {
    GuardedLog& held = the_log();
    MutexLock lock(held.guard);
    // Only a file that is not there turns file logging off; a kiv.log that
    // is there but can't be had now (no descriptor left, not a regular
    // file) keeps the lines for a later flush.
    bool missing = false;
    FILE* file = open_text_file_for_appending(LOG_FILE_NAME, missing);
    if (file != nullptr) {
      for (int i = 0; i < held.log.line_count && i < LOG_CAPACITY; ++i) {
        fputs(held.log.lines[i].get(), file);
        fputc('\n', file);
      }
      fclose(file);
    }
    if (file != nullptr || missing) {
      release_lines(held.log);
      held.failure_shown = false;
      return;
    }
    if (held.failure_shown) return;
    held.failure_shown = true;
  }
  // The file is there but can't be appended to: every line stays held.
  logging_flush_failure = true;
  log_event(kFailure);
  logging_flush_failure = false;
  show_warning(kFailure);
}

void read_event_log(const std::function<void(const EventLog&)>& pass) {
  GuardedLog& held = the_log();
  MutexLock lock(held.guard);
  pass(held.log);
}

void set_log_echo(bool (*echo)(const char* line)) { log_echo.store(echo); }

void show_warning(const char* text) { window_thread().show_warning(text); }

}  // namespace kiv
