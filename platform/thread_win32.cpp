#include "platform/system_thread.h"

#include <windows.h>
#include <process.h>

#include <cerrno>

namespace kiv {

namespace {

unsigned __stdcall run(void* first_work) {
  run_new_thread(first_work);
  return 0;
}

}  // namespace

int start_system_thread(void* first_work) {
  // _beginthreadex rather than CreateThread: the thread uses the C runtime.
  uintptr_t thread = _beginthreadex(nullptr, 0, run, first_work, 0, nullptr);
  if (thread == 0) return errno;
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return 0;
}

}  // namespace kiv
