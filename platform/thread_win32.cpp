#include "platform/thread.h"

#include <windows.h>
#include <process.h>

#include <cerrno>
#include <cstdint>
#include <new>

namespace kiv {

namespace {

struct Start {
  void (*body)(void*);
  void* argument;
};

unsigned __stdcall run(void* start) {
  Start work = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  work.body(work.argument);
  return 0;
}

}  // namespace

int start_detached_thread(void (*body)(void*), void* argument) {
  auto* start = new (std::nothrow) Start{body, argument};
  if (start == nullptr) return ENOMEM;
  // _beginthreadex rather than CreateThread: the thread uses the C runtime.
  uintptr_t thread = _beginthreadex(nullptr, THREAD_STACK_SIZE, run, start,
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) {
    delete start;
    return errno;
  }
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return 0;
}

}  // namespace kiv
