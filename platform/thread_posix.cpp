#include "platform/thread.h"

#include <pthread.h>

namespace kiv {

namespace {

struct ThreadStart {
  void (*body)(void*);
  void* argument;
};

void* run_thread(void* start_pointer) {
  ThreadStart start = *static_cast<ThreadStart*>(start_pointer);
  delete static_cast<ThreadStart*>(start_pointer);
  start.body(start.argument);
  return nullptr;
}

}  // namespace

int start_detached_thread(void (*body)(void*), void* argument) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  auto* start = new ThreadStart{body, argument};
  int error = pthread_create(&thread, &attributes, run_thread, start);
  pthread_attr_destroy(&attributes);
  if (error != 0) delete start;
  return error;
}

}  // namespace kiv
