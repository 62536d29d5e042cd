#include "forward/socket_helpers.h"

#include <atomic>
#include <cctype>

#include "core/event_log.h"
#include "core/lifecycle.h"
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

Socket connect_to_host(const char* host, uint16_t port, char* message) {
  message[0] = '\0';
  uint32_t address = INVALID_ADDRESS;
  bool found = false;
  unsigned char first = static_cast<unsigned char>(host[0]);
  if (first < 128 && isalpha(first)) found = resolve_host_name(host, &address) == 0;
  if (!found) {
    address = dotted_address(host);
    if (address == INVALID_ADDRESS) {
      log_message(message, "Can't get IP address for %s", host);
      return NO_SOCKET;
    }
  }
  if (is_own_port(port) && is_local_address(address)) {
    log_message(message, "Can't connect to host: %s %u loops back to this agent", host, port);
    return NO_SOCKET;
  }
  Socket remote = create_tcp_socket();
  if (remote == NO_SOCKET) {
    log_message(message, "Can't create socket: %d", last_socket_error());
    return NO_SOCKET;
  }
  if (connect_to_address(remote, address, port, &reset_pending) != 0) {
    log_message(message, "Can't connect to host: %s %d", host, last_socket_error());
    close_socket(remote);
    return NO_SOCKET;
  }
  return remote;
}

}  // namespace kiv
