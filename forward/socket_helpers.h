#pragma once
// The socket operations of the services: the listening sockets of a
// service, and a connection to a remote host. Each logs why it failed.

#include <cstdint>
#include <vector>

#include "core/access_rules.h"
#include "forward/service_chain.h"
#include "platform/socket.h"

namespace kiv {

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
/// Closes the sockets that open_listener opened; leaves none.
void close_listener(ListeningSockets& listening);
/// How many listening sockets open_listener holds open now.
int listening_sockets_open();
/// Whether kiv.access lets service `name` take `client`, accepted from
/// `peer`; a refused client is logged, reset and closed at once.
bool admitted_by_rules(const char* name, Socket client, const NetAddress& peer);
/// The addresses of `host` in the order to try them: a name's, or the
/// address it is when it does not begin with a letter or its lookup fails;
/// or none after formatting the reason into `message` and logging it.
std::vector<NetAddress> look_up_host(const char* host, char* message);
/// Whether a service of this agent listens at `address`:`port`, and which
/// (its name in `name`).
bool own_listener_at(const NetAddress& address, uint16_t port, char (&name)[NAME_CAPACITY + 1]);
/// A socket that has begun connecting to `address`:`port`, or NO_SOCKET with
/// the platform's error in `*error` (`*created` false when no socket of the
/// address's family could be made). `*in_progress` says whether the connect
/// is still to end. With a `chain`, the connection's local port is noted as
/// continuing it (note_outgoing) before the connect begins, and stored in
/// `*noted_port`.
Socket begin_connect(const NetAddress& address, uint16_t port, const ServiceChain* chain,
                     uint16_t* noted_port, bool* in_progress, int* error, bool* created);

}  // namespace kiv
