#include "platform/system_thread.h"

#include <pthread.h>

namespace kiv {

namespace {

void* run(void* first_work) {
  run_new_thread(first_work);
  return nullptr;
}

}  // namespace

int start_system_thread(void* first_work) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, run, first_work);
  pthread_attr_destroy(&attributes);
  return error;
}

}  // namespace kiv
