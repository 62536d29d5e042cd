#pragma once
// AcceptingSockets is the listening sockets of a service or of the control
// port as the loop that accepts on them watches them.

#include <cstdint>

#include "core/event_loop.h"
#include "forward/socket_helpers.h"

namespace kiv {

struct AcceptingSockets {
  /// One listening socket as the loop sees it.
  struct Watched : SocketHandler {
    AcceptingSockets* set;
    Socket socket;
  };
  /// Called on the loop when a client waits on `listening`; the socket is
  /// reported again once rearm_accepting has re-armed it.
  void (*client_waiting)(void* owner, Watched& listening) = nullptr;
  void* owner = nullptr;
  EventLoop* loop = nullptr;
  ListeningSockets sockets;
  Watched watched[MAX_LISTEN_ADDRESSES];
  int watched_count = 0;
};

/// Opens the listening sockets of service `name` at `port` (see
/// open_listener) and watches them on `loop`: 0, or the platform's error
/// (NOT_A_SOCKET_ERROR when none could be opened), with none left open.
int open_accepting(AcceptingSockets& accepting, EventLoop& loop, const char* name, uint16_t port);
/// Has `listening`, or every socket of the set, report its next client.
void rearm_accepting(AcceptingSockets::Watched& listening);
void rearm_accepting(AcceptingSockets& accepting);
/// Stops watching and closes every socket of the set.
void close_accepting(AcceptingSockets& accepting);

}  // namespace kiv
