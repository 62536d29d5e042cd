#include "forward/accepting_sockets.h"

#include "core/event_log.h"

namespace kiv {

namespace {

void listening_ready(SocketHandler* handler, Readiness) {
  auto& listening = *static_cast<AcceptingSockets::Watched*>(handler);
  listening.set->client_waiting(listening.set->owner, listening);
}

}  // namespace

int open_accepting(AcceptingSockets& accepting, EventLoop& loop, const char* name,
                   uint16_t port) {
  accepting.loop = &loop;
  char message[MESSAGE_SIZE];
  if (!open_listener(name, port, accepting.sockets, message)) return NOT_A_SOCKET_ERROR;
  int error = 0;
  for (int i = 0; error == 0 && i < accepting.sockets.count; ++i) {
    AcceptingSockets::Watched& listening = accepting.watched[i];
    listening.ready = listening_ready;
    listening.set = &accepting;
    listening.socket = accepting.sockets.sockets[i];
    error = set_non_blocking(listening.socket) != 0
                ? last_socket_error()
                : loop.watch(listening.socket, Readiness::Readable, &listening);
    if (error == 0) ++accepting.watched_count;
  }
  if (error != 0) close_accepting(accepting);
  return error;
}

void rearm_accepting(AcceptingSockets::Watched& listening) {
  listening.set->loop->rearm(listening.socket, Readiness::Readable, &listening);
}

void rearm_accepting(AcceptingSockets& accepting) {
  for (int i = 0; i < accepting.watched_count; ++i) rearm_accepting(accepting.watched[i]);
}

void close_accepting(AcceptingSockets& accepting) {
  for (int i = 0; i < accepting.watched_count; ++i) {
    accepting.loop->stop_watching(accepting.watched[i].socket, &accepting.watched[i]);
  }
  accepting.watched_count = 0;
  close_listener(accepting.sockets);
}

}  // namespace kiv
