#pragma once
// The two socket operations of the services: the listening sockets of a
// service, and a connection to a remote host. Both log why they failed.

#include <cstdint>

#include "core/access_rules.h"
#include "platform/socket.h"

namespace kiv {

static_assert(MAX_LISTEN_ADDRESSES <= MAX_WAITED_SOCKETS, "one wait watches all of a service");

/// ListeningSockets are the sockets a service waits for clients on: one per
/// listen address, or one for every address.
struct ListeningSockets {
  Socket sockets[MAX_LISTEN_ADDRESSES];
  int count = 0;
};

/// Opens the listening sockets of service `name` at `port`: one on each of
/// its listen addresses in kiv.access, or else one on every local address of
/// both families (of IPv4 alone on a machine without IPv6). False, with none
/// open, after formatting the reason into `message` (MESSAGE_SIZE
/// characters) and logging it.
bool open_listener(const char* name, uint16_t port, ListeningSockets& listening, char* message);
/// Closes the sockets that open_listener opened on `port`; leaves none.
void close_listener(ListeningSockets& listening, uint16_t port);
/// Whether kiv.access lets service `name` take `client`, accepted from
/// `peer`; a refused client is logged, reset and closed at once.
bool admitted_by_rules(const char* name, Socket client, const NetAddress& peer);
/// A socket connected to `host` (a name, or an address when it does not
/// begin with a letter or its lookup fails) at `port`, or NO_SOCKET as above.
/// A name's addresses are tried in the system's order until one answers,
/// all within CONNECT_TIMEOUT_MS. A pending reset ends the attempt, and the
/// agent never connects to one of its own listening ports on an address of
/// this machine (which would relay each client to itself again).
Socket connect_to_host(const char* host, uint16_t port, char* message);

}  // namespace kiv
