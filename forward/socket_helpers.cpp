#include "forward/socket_helpers.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <vector>

#include "core/event_log.h"
#include "core/service_table.h"
#include "platform/mutex.h"
#include "platform/no_destructor.h"

namespace kiv {

namespace {

// The services whose listeners are open now: a connection to one of them
// from a relay of this agent continues that relay's chain.
struct OwnListener {
  Socket first;  // its first listening socket, which tells it from another
  char name[NAME_CAPACITY + 1];
  uint16_t port;
  std::vector<NetAddress> addresses;  // none: every local address
};

struct OwnListeners {
  Mutex guard;
  std::vector<OwnListener> open GUARDED_BY(guard);
};

OwnListeners& own_listeners() {
  static NoDestructor<OwnListeners> listeners;
  return *listeners;
}

// Listening sockets open now, of every service and control port.
std::atomic<int> listening_open{0};

bool listens_at(const OwnListener& listener, const NetAddress& address) {
  if (listener.addresses.empty()) return is_local_address(address);
  const NetAddress target = unmapped_address(address);
  for (const NetAddress& own : listener.addresses) {
    if (own == any_address(own.family) ? is_local_address(target) && own.family == target.family
                                       : unmapped_address(own) == target) {
      return true;
    }
  }
  return false;
}

// A listening socket on `address`, or NO_SOCKET with the reason logged.
Socket listen_at(const NetAddress& address, uint16_t port, bool with_ipv4, char* message) {
  Socket listening = create_tcp_socket(address.family);
  if (listening == NO_SOCKET) {
    log_message(message, "Can't create socket: %d", last_socket_error());
    return NO_SOCKET;
  }
  if (bind_address(listening, address, port, with_ipv4) != 0) {
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
  return listening;
}

}  // namespace

bool open_listener(const char* name, uint16_t port, ListeningSockets& listening, char* message) {
  message[0] = '\0';
  listening.count = 0;
  std::vector<NetAddress> addresses = listen_addresses(name);
  const bool every_address = addresses.empty();
  if (every_address) {
    // One socket for both families; a machine without IPv6 can't make it.
    Socket both = create_tcp_socket(AddressFamily::IPv6);
    bool dual_stack = both != NO_SOCKET;
    close_socket(both);
    addresses.push_back(any_address(dual_stack ? AddressFamily::IPv6 : AddressFamily::IPv4));
  }
  for (const NetAddress& address : addresses) {
    Socket socket = listen_at(address, port, every_address, message);
    if (socket == NO_SOCKET) {
      for (int i = 0; i < listening.count; ++i) close_socket(listening.sockets[i]);
      listening.count = 0;
      return false;
    }
    listening.sockets[listening.count++] = socket;
  }
  listening_open += listening.count;
  OwnListener own{listening.sockets[0], {}, port, every_address ? std::vector<NetAddress>{}
                                                               : addresses};
  snprintf(own.name, sizeof own.name, "%s", name);
  OwnListeners& listeners = own_listeners();
  MutexLock lock(listeners.guard);
  listeners.open.push_back(own);
  return true;
}

void close_listener(ListeningSockets& listening) {
  if (listening.count == 0) return;
  {
    OwnListeners& listeners = own_listeners();
    MutexLock lock(listeners.guard);
    std::vector<OwnListener>& open = listeners.open;
    for (size_t i = 0; i < open.size(); ++i) {
      if (open[i].first != listening.sockets[0]) continue;
      open[i] = open.back();
      open.pop_back();
      break;
    }
  }
  listening_open -= listening.count;
  for (int i = 0; i < listening.count; ++i) close_socket(listening.sockets[i]);
  listening.count = 0;
}

int listening_sockets_open() { return listening_open; }

bool admitted_by_rules(const char* name, Socket client, const NetAddress& peer) {
  if (admit_by_access_rules(name, peer)) return true;
  abort_connection(client);
  close_socket(client);
  return false;
}

std::vector<NetAddress> look_up_host(const char* host, char* message) {
  message[0] = '\0';
  std::vector<NetAddress> addresses;
  unsigned char first = static_cast<unsigned char>(host[0]);
  if (first < 128 && isalpha(first)) addresses = resolve_host(host);
  NetAddress literal;
  // All ones is what the old address parser gave for bad text: it never
  // named a host.
  static const NetAddress ALL_ONES{AddressFamily::IPv4, {255, 255, 255, 255}, 0};
  if (addresses.empty() && parse_host_address(host, literal) &&
      !(unmapped_address(literal) == ALL_ONES)) {
    addresses.push_back(literal);
  }
  if (addresses.empty()) log_message(message, "Can't get IP address for %s", host);
  return addresses;
}

bool own_listener_at(const NetAddress& address, uint16_t port, char (&name)[NAME_CAPACITY + 1]) {
  OwnListeners& listeners = own_listeners();
  MutexLock lock(listeners.guard);
  for (const OwnListener& listener : listeners.open) {
    if (listener.port != port || !listens_at(listener, address)) continue;
    snprintf(name, sizeof name, "%s", listener.name);
    return true;
  }
  return false;
}

Socket begin_connect(const NetAddress& address, uint16_t port, const ServiceChain* chain,
                     uint16_t* noted_port, bool* in_progress, int* error, bool* created) {
  Socket remote = create_tcp_socket(address.family);
  *created = remote != NO_SOCKET;
  if (remote == NO_SOCKET) {
    *error = last_socket_error();
    return NO_SOCKET;
  }
  int started = -1;
  if (chain == nullptr) {
    started = start_connect(remote, address, port);
  } else if (bind_any_port(remote, address.family) == 0) {
    // Noted before the connect: the agent may accept it at once.
    *noted_port = local_port(remote);
    note_outgoing(*noted_port, *chain);
    started = start_connect(remote, address, port);
  }
  if (started < 0) {
    *error = last_socket_error();
    if (chain != nullptr) forget_outgoing(*noted_port);
    close_socket(remote);
    return NO_SOCKET;
  }
  *in_progress = started == 1;
  return remote;
}

}  // namespace kiv
