#include "platform/thread.h"

#include <pthread.h>

#include <cerrno>
#include <new>

namespace kiv {

namespace {

struct Start {
  void (*body)(void*);
  void* argument;
};

void* run(void* start) {
  Start work = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  work.body(work.argument);
  return nullptr;
}

}  // namespace

int start_detached_thread(void (*body)(void*), void* argument) {
  auto* start = new (std::nothrow) Start{body, argument};
  if (start == nullptr) return ENOMEM;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, THREAD_STACK_SIZE);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, run, start);
  pthread_attr_destroy(&attributes);
  if (error != 0) delete start;
  return error;
}

}  // namespace kiv
