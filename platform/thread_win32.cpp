#include "platform/system_thread.h"
#include "platform/thread.h"

#include <windows.h>
#include <process.h>

#include <cerrno>
#include <climits>
#include <cstdint>

namespace kiv {

namespace {

// What one more thread costs Windows at the least: its kernel stack and
// structures and the committed top of its own stack.
constexpr uint64_t THREAD_FOOTPRINT_BYTES = 256 * 1024;

unsigned __stdcall run(void* first_work) {
  run_new_thread(first_work);
  return 0;
}

}  // namespace

int start_system_thread(void* first_work) {
  // _beginthreadex rather than CreateThread: the thread uses the C runtime.
  uintptr_t thread = _beginthreadex(nullptr, WORKER_STACK_SIZE, run, first_work,
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) return errno;
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return 0;
}

int thread_limit() {
  // Windows sets no count of threads: memory runs out first. The agent takes
  // at most what half of the machine's memory holds.
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (!GlobalMemoryStatusEx(&memory)) return INT_MAX;
  uint64_t threads = memory.ullTotalPhys / 2 / THREAD_FOOTPRINT_BYTES;
  return threads > INT_MAX ? INT_MAX : static_cast<int>(threads);
}

}  // namespace kiv
