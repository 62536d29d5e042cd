#include "platform/files.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/mutex.h"

namespace kiv {

namespace {

// Lines waiting for standard error beyond this many bytes are dropped.
constexpr size_t ECHO_BACKLOG_BYTES = 256 * 1024;
// How long the process's exit waits for a write in progress to end.
constexpr auto EXIT_WRITE_WAIT = std::chrono::seconds(2);

// Writes all of `size` bytes of `data` to `handle`, however many calls it takes.
void write_all(HANDLE handle, const char* data, size_t size) {
  while (size > 0) {
    DWORD written = 0;
    DWORD part = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    if (!WriteFile(handle, data, part, &written, nullptr) || written == 0) return;
    data += written;
    size -= written;
  }
}

// EchoBacklog holds the lines for standard error until a thread of its own
// writes them. A console takes nothing while the operator selects text in
// it, and a pipe nothing while its reader is away: only that thread waits.
struct EchoBacklog {
  Mutex guard;
  CondVar filled{guard};
  CondVar written{guard};
  std::string lines GUARDED_BY(guard);
  bool writing GUARDED_BY(guard) = false;  // lines taken but not all written yet
  bool writer_started GUARDED_BY(guard) = false;
};

// Never destroyed: the writer may still wait on it while the process exits.
EchoBacklog& echo_backlog() {
  static EchoBacklog* backlog = new EchoBacklog;
  return *backlog;
}

unsigned __stdcall write_echoed_lines(void*) {
  EchoBacklog& backlog = echo_backlog();
  std::string block;
  MutexLock lock(backlog.guard);
  for (;;) {
    backlog.writing = false;
    backlog.written.signal_all();
    while (backlog.lines.empty()) backlog.filled.wait();
    block.swap(backlog.lines);
    backlog.writing = true;
    lock.unlock();
    write_all(GetStdHandle(STD_ERROR_HANDLE), block.data(), block.size());
    block.clear();
    lock.lock();
  }
}

// At exit the lines not written yet go out, after the block being written,
// unless standard error has taken nothing for a while.
void write_echo_backlog_at_exit() {
  EchoBacklog& backlog = echo_backlog();
  auto deadline = std::chrono::steady_clock::now() + EXIT_WRITE_WAIT;
  MutexLock lock(backlog.guard);
  while (backlog.writing) {
    if (!backlog.written.wait_until(deadline) && backlog.writing) return;
  }
  write_all(GetStdHandle(STD_ERROR_HANDLE), backlog.lines.data(), backlog.lines.size());
  backlog.lines.clear();
}

// Keeps `file` only when it is a file on disk: on Windows a name such as CON,
// NUL or COM1 is a device whatever its extension.
FILE* only_disk_file(FILE* file) {
  if (file != nullptr &&
      GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
    fclose(file);
    return nullptr;
  }
  return file;
}

}  // namespace

FILE* open_text_file_for_writing(const char* name) {
  // "t" makes text mode explicit: CR LF line ends on disk.
  return only_disk_file(fopen(name, "wt"));
}

FILE* open_text_file_for_appending(const char* name, bool& missing) {
  // Opened as Windows does it, to open only what exists: C's "a" creates.
  HANDLE handle = CreateFileA(name, FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  missing = false;
  int fd = -1;
  if (GetFileType(handle) == FILE_TYPE_DISK) {
    fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_TEXT);
  }
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "at");
  if (file == nullptr) _close(fd);
  return file;
}

FILE* open_binary_file_for_reading(const char* name) { return only_disk_file(fopen(name, "rb")); }

bool file_is_missing(const char* name) {
  if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) return false;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool write_standard_error_line(const char* line) {
  EchoBacklog& backlog = echo_backlog();
  size_t length = strlen(line);
  MutexLock lock(backlog.guard);
  if (backlog.lines.size() + length + 2 > ECHO_BACKLOG_BYTES) return false;
  if (!backlog.writer_started) {
    uintptr_t writer = _beginthreadex(nullptr, 0, write_echoed_lines, nullptr, 0, nullptr);
    if (writer == 0) return false;
    CloseHandle(reinterpret_cast<HANDLE>(writer));
    backlog.writer_started = true;
    atexit(write_echo_backlog_at_exit);
  }
  backlog.lines.append(line, length).append("\r\n");
  backlog.filled.signal();
  return true;
}

}  // namespace kiv
