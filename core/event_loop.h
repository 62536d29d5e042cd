#pragma once
// The agent's event loop: one thread that waits for everything the agent
// waits for (listening sockets, the control port and its client, relays
// waiting for bytes or for room to send, connects in progress) and for
// timers, and sleeps exactly until one of them needs it.

#include <cstdint>

#include "platform/event_wait.h"
#include "platform/socket.h"

namespace kiv {

/// SocketHandler is what the loop calls, on its own thread, when a socket it
/// watches is ready: `ready(handler, events)` (Readiness flags). The struct
/// that holds it (a listener, a relay's socket) is the handler's context, and
/// keeps it alive until the socket is no longer watched and a call made after
/// that (call_on_loop) has run: a readiness taken before may still be
/// delivered until then.
struct SocketHandler {
  void (*ready)(SocketHandler* handler, Readiness events);
};

/// A call the loop makes once its time has come, until cancel_timer.
struct LoopTimer {
  uint64_t due_ms = 0;
  uint64_t id = 0;
};

/// Starts the loop's thread, once for the process. Returns 0 or the
/// platform's error code.
int start_event_loop();
bool on_loop_thread();

/// Watches `s` for `interest` (Readiness; failures are always reported).
/// Each readiness is delivered once: after handling one, a handler that
/// wants the next calls rearm_socket (which delivers at once what is ready).
/// Returns 0 or the platform's error code.
int watch_socket(Socket s, Readiness interest, SocketHandler* handler);
int rearm_socket(Socket s, Readiness interest, SocketHandler* handler);
/// Stops watching `s`; called before `s` is closed.
void stop_watching(Socket s);

/// Calls `call(argument)` on the loop's thread once `delay_ms` have passed;
/// calls due at the same moment in the order they were asked for.
LoopTimer call_later(unsigned delay_ms, void (*call)(void*), void* argument);
/// true when the call will not be made; false when it has been made or is
/// being made now.
bool cancel_timer(const LoopTimer& timer);
/// Calls `call(argument)` on the loop's thread soon, in the order asked for.
void call_on_loop(void (*call)(void*), void* argument);
/// Has `check()` run on the loop's thread each time the loop has handled what
/// woke it (a reset to answer, a count that reached 0). At most a few.
void check_after_each_wake(void (*check)());
/// Has the loop run its checks now (something they look at has changed).
void wake_event_loop();

}  // namespace kiv
