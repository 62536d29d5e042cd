#include "platform/system_thread.h"
#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <fstream>

namespace kiv {

namespace {

void* run(void* first_work) {
  run_new_thread(first_work);
  return nullptr;
}

// A number the kernel shows in /proc/sys, or INT_MAX when it can't be read.
long kernel_setting(const char* path) {
  long value = 0;
  std::ifstream file(path);
  return file >> value && value > 0 ? value : INT_MAX;
}

}  // namespace

int start_system_thread(void* first_work) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, WORKER_STACK_SIZE);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, run, first_work);
  pthread_attr_destroy(&attributes);
  return error;
}

int thread_limit() {
  // Threads and processes of every program draw on the same ids: the agent
  // takes at most half of them, so that the machine can still start others.
  static const long machine = std::min(kernel_setting("/proc/sys/kernel/threads-max"),
                                       kernel_setting("/proc/sys/kernel/pid_max"));
  long allowed = machine;
  rlimit user{};
  if (getrlimit(RLIMIT_NPROC, &user) == 0 && user.rlim_cur < static_cast<rlim_t>(allowed)) {
    allowed = static_cast<long>(user.rlim_cur);
  }
  return static_cast<int>(allowed / 2);
}

}  // namespace kiv
