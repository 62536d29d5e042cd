#include "platform/splice.h"

#include <winsock2.h>

namespace kiv {

// Windows moves no bytes between sockets on its own: the pumps copy them.

long open_splice_pipe(SplicePipe&, size_t) { return -1; }

bool is_open(const SplicePipe&) { return false; }

void close_splice_pipe(SplicePipe&) {}

long splice_receive(Socket, SplicePipe&, size_t) {
  WSASetLastError(WSAEOPNOTSUPP);
  return -1;
}

long splice_send_some(SplicePipe&, Socket, size_t) {
  WSASetLastError(WSAEOPNOTSUPP);
  return -1;
}

}  // namespace kiv
