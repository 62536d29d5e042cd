#include "platform/signals.h"

#include <csignal>
#include <pthread.h>

#include "platform/thread.h"

namespace kiv {

namespace {

sigset_t operator_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void wait_for_signals(void* callback) {
  auto on_signal = reinterpret_cast<void (*)(OperatorSignal)>(callback);
  sigset_t set = operator_signals();
  for (;;) {
    int number = 0;
    if (sigwait(&set, &number) != 0) continue;
    on_signal(number == SIGHUP ? OperatorSignal::Reload : OperatorSignal::Stop);
  }
}

}  // namespace

void watch_operator_signals(void (*on_signal)(OperatorSignal)) {
  sigset_t set = operator_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  start_detached_thread(wait_for_signals, reinterpret_cast<void*>(on_signal));
}

}  // namespace kiv
