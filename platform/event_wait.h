#pragma once
// The system's wait for many sockets at once: the one call in which the
// agent's event loop sleeps, and the wake that ends it early.

#include "platform/socket.h"

namespace kiv {

/// What a socket is waited for, and what a wait reports of it: flags of a
/// scoped enum, so that no system header's macro can take their names.
enum class Readiness : unsigned {
  None = 0,
  /// Bytes to receive, the peer's orderly end (never reported as Failed),
  /// or a client to accept.
  Readable = 1,
  /// Room to send, or a connect that has ended.
  Writable = 2,
  /// The connection failed (a reset, a connect that failed): reported
  /// whatever the interest. What receive and the pending error then say of
  /// it may be nothing (some systems report 0 for both): a failure is an
  /// abort all the same.
  Failed = 4,
};

constexpr Readiness operator|(Readiness a, Readiness b) {
  return static_cast<Readiness>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr Readiness operator&(Readiness a, Readiness b) {
  return static_cast<Readiness>(static_cast<unsigned>(a) & static_cast<unsigned>(b));
}
inline Readiness& operator|=(Readiness& a, Readiness b) { return a = a | b; }
/// Whether `set` holds any of the flags of `flags`.
constexpr bool has(Readiness set, Readiness flags) { return (set & flags) != Readiness::None; }

/// ReadyEvent is one socket's news from wait_for_events: the tag it was
/// added with and what it is ready for.
struct ReadyEvent {
  void* tag;
  Readiness events;
};

/// EventWait is a set of sockets that one thread waits on. Each readiness is
/// reported once: a socket is certain to be reported again only after
/// modify_waiting has re-armed it (and at once if it is ready then). Only the
/// waiting thread calls wait_for_events; any thread may add, modify, delete
/// and wake; a socket is deleted before it is closed.
struct EventWait;

/// A new empty set, or null when the system has nothing left to make one.
EventWait* create_event_wait();
/// Adds `s` with `interest` (Readable, Writable or both, or None for
/// failures only). Returns 0 or the platform's error code.
int add_waiting(EventWait& wait, Socket s, Readiness interest, void* tag);
/// Changes the interest of a socket added before, and re-arms it.
int modify_waiting(EventWait& wait, Socket s, Readiness interest, void* tag);
/// Removes `s` from the set: no later wait reports it.
void delete_waiting(EventWait& wait, Socket s);
/// Waits until a socket is ready, the wait is woken, or `timeout_ms` pass
/// (-1: no limit). Returns how many events it filled in (0 when woken or
/// timed out), or -1 on failure.
int wait_for_events(EventWait& wait, int timeout_ms, ReadyEvent* events, int capacity);
/// Ends the current or next wait_for_events at once.
void wake_waiting(EventWait& wait);

}  // namespace kiv
