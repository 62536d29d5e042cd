#pragma once
// The sockets layer the agent's logic uses: plain Berkeley-style calls on
// sockets, with the platform's error codes behind a few named tests.

#include <cstddef>
#include <cstdint>

#include "platform/net_address.h"

namespace kiv {

/// A socket of the system's: a descriptor on Linux, a handle on Windows;
/// both fit a pointer-sized integer, and neither system's is ever -1.
using Socket = intptr_t;
constexpr Socket NO_SOCKET = -1;

/// The platform's codes for a connect that got no answer in time, and for
/// one given up on (a reset was asked for meanwhile).
extern const int TIMED_OUT_ERROR;
extern const int INTERRUPTED_ERROR;
/// The platform's code for a connection reset by its peer.
extern const int CONNECTION_RESET_ERROR;

/// Error code the agent reports for a listener that has no listening socket
/// (the Windows Sockets "not a socket" code, kept because operators know it).
constexpr int NOT_A_SOCKET_ERROR = 10038;

/// The deepest backlog of waiting clients that a listening socket can have.
extern const int MAX_LISTEN_BACKLOG;

/// Prepares the process for socket work: the sockets layer is started where
/// it has to be, a write to a closed peer must come back as an error, never
/// as a signal, and every relay holds two descriptors, so the open-file
/// limit is raised as far as allowed.
/// Returns 0 or the platform's error code.
int start_sockets();

/// The error code of the calling thread's last failed socket call.
int last_socket_error();
bool is_connection_reset(int error);
bool is_would_block(int error);
/// Out of descriptors or buffer memory: a shortage that passes as connections end.
bool is_out_of_resources(int error);
/// An accept error that belongs to one waiting connection (reset or failed
/// before it was taken), not to the listening socket: the next one may do.
bool is_pending_connection_error(int error);

/// A TCP socket of `family`, or NO_SOCKET (for IPv6 on a machine without it).
Socket create_tcp_socket(AddressFamily family);
/// Binds `s`, made for the address's family, to `address` at `port`; a port
/// held by a live listener is refused, but old connections lingering on it
/// never block a restart. An IPv6 socket takes IPv4 clients as well only
/// with `with_ipv4` (and only on the unspecified address ::).
int bind_address(Socket s, const NetAddress& address, uint16_t port, bool with_ipv4);
int listen_on(Socket s, int backlog);
/// The next waiting client in non-blocking mode, or NO_SOCKET (the
/// would-block error when none waits), with its address and port stored in
/// `peer` and `peer_port`.
Socket accept_client(Socket listening, NetAddress& peer, uint16_t& peer_port);
/// Binds a socket about to connect, made for `family`, to a port of the
/// system's choosing, so that local_port can tell it before the connection
/// is made.
int bind_any_port(Socket s, AddressFamily family);
/// The local port of a bound socket, or 0.
uint16_t local_port(Socket s);
/// Starts connecting `s`, made for the address's family and made
/// non-blocking, to `address` at `port`: 0 connected, 1 in progress (the
/// socket becomes writable when it has ended; pending_socket_error then says
/// how), -1 failed.
int start_connect(Socket s, const NetAddress& address, uint16_t port);
/// Takes the error that ended a connect or broke a connection: 0 if none.
int pending_socket_error(Socket s);
/// Receives at most `size` bytes: the count, 0 at the end of data, -1 on
/// failure (the would-block error when a non-blocking socket has none).
long receive_some(Socket s, void* buffer, size_t size);
/// Sends what a socket in non-blocking mode takes at once, never waiting
/// for room: the count sent (perhaps less than `size`), or -1.
long send_without_waiting(Socket s, const void* data, size_t size);
void shutdown_sending(Socket s);
/// Makes the coming close of `s` reset the connection instead of ending it in
/// order; nothing is sent to the peer before the close.
void abort_connection(Socket s);
void close_socket(Socket s);
int set_non_blocking(Socket s);

/// Probes a connected socket's peer after KEEPALIVE_IDLE_S seconds of
/// silence, every KEEPALIVE_INTERVAL_S seconds, KEEPALIVE_PROBES times: a
/// peer that has vanished (switched off, its NAT entry gone) breaks the
/// connection within about 2 minutes. Returns 0 or the platform's error code.
int set_keepalive(Socket s);
constexpr int KEEPALIVE_IDLE_S = 60;
constexpr int KEEPALIVE_INTERVAL_S = 10;
constexpr int KEEPALIVE_PROBES = 6;

/// How many sockets the process may hold open at once.
int socket_limit();

}  // namespace kiv
