#include "forward/socket_helpers.h"

#include <atomic>
#include <cctype>

#include "core/event_log.h"
#include "core/service_table.h"

namespace kiv {

namespace {

// The ports that open_listener has open, 0 in a free slot. Every service
// and the control port have one listener at a time; a restart closes the
// old ones first.
std::atomic<uint16_t> own_ports[MAX_SERVICES * 2];

void note_own_port(uint16_t port, uint16_t replaced) {
  for (std::atomic<uint16_t>& slot : own_ports) {
    uint16_t expected = replaced;
    if (slot.compare_exchange_strong(expected, port)) return;
  }
}

bool is_own_port(uint16_t port) {
  for (const std::atomic<uint16_t>& slot : own_ports) {
    if (slot == port) return true;
  }
  return false;
}

}  // namespace

Socket open_listener(uint16_t port, char* message) {
  message[0] = '\0';
  Socket listening = create_tcp_socket();
  if (listening == NO_SOCKET) {
    log_message(message, "Can't create socket: %d", last_socket_error());
    return NO_SOCKET;
  }
  if (bind_any_address(listening, port) != 0) {
    log_message(message, "Can't bind: %d", last_socket_error());
    close_socket(listening);
    return NO_SOCKET;
  }
  // The agent was designed on a sockets layer whose deepest backlog was 5;
  // the platform's own deepest keeps a burst of clients from being dropped
  // before the listener can take them.
  if (listen_on(listening, MAX_LISTEN_BACKLOG) != 0) {
    log_message(message, "Can't listen: %d", last_socket_error());
    close_socket(listening);
    return NO_SOCKET;
  }
  note_own_port(port, 0);
  return listening;
}

void close_listener(Socket listening, uint16_t port) {
  if (listening == NO_SOCKET) return;
  note_own_port(0, port);
  close_socket(listening);
}

uint32_t look_up_host(const char* host, char* message) {
  message[0] = '\0';
  uint32_t address = INVALID_ADDRESS;
  unsigned char first = static_cast<unsigned char>(host[0]);
  if (first < 128 && isalpha(first) && resolve_host_name(host, &address) == 0) return address;
  address = dotted_address(host);
  if (address == INVALID_ADDRESS) log_message(message, "Can't get IP address for %s", host);
  return address;
}

bool is_own_listener(uint32_t address, uint16_t port) {
  return is_own_port(port) && is_local_address(address);
}

Socket begin_connect(const char* host, uint32_t address, uint16_t port, const ServiceChain* chain,
                     uint16_t* noted_port, bool* in_progress, char* message) {
  message[0] = '\0';
  Socket remote = create_tcp_socket();
  if (remote == NO_SOCKET) {
    log_message(message, "Can't create socket: %d", last_socket_error());
    return NO_SOCKET;
  }
  int started = -1;
  if (chain == nullptr) {
    started = start_connect(remote, address, port);
  } else if (bind_any_port(remote) == 0) {
    // Noted before the connect: the agent may accept it at once.
    *noted_port = local_port(remote);
    note_outgoing(*noted_port, *chain);
    started = start_connect(remote, address, port);
  }
  if (started < 0) {
    int error = last_socket_error();
    if (chain != nullptr) forget_outgoing(*noted_port);
    log_message(message, "Can't connect to host: %s %d", host, error);
    close_socket(remote);
    return NO_SOCKET;
  }
  *in_progress = started == 1;
  return remote;
}

}  // namespace kiv
