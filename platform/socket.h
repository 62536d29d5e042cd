#pragma once
// The sockets layer the agent's logic uses: plain Berkeley-style calls on
// sockets, with the platform's error codes behind a few named tests.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/net_address.h"

namespace kiv {

/// A socket of the system's: a descriptor on Linux, a handle on Windows;
/// both fit a pointer-sized integer, and neither system's is ever -1.
using Socket = intptr_t;
constexpr Socket NO_SOCKET = -1;

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

/// A TCP socket of `family`, or NO_SOCKET (for IPv6 on a machine without it).
Socket create_tcp_socket(AddressFamily family);
/// Binds `s`, made for the address's family, to `address` at `port`; a port
/// held by a live listener is refused, but old connections lingering on it
/// never block a restart. An IPv6 socket takes IPv4 clients as well only
/// with `with_ipv4` (and only on the unspecified address ::).
int bind_address(Socket s, const NetAddress& address, uint16_t port, bool with_ipv4);
int listen_on(Socket s, int backlog);
/// Waits up to `timeout_ms` for `s` to become readable: 1 readable, 0 time-out, -1 failure.
int wait_readable(Socket s, int timeout_ms);
/// Most sockets that one wait watches.
constexpr int MAX_WAITED_SOCKETS = 16;
/// Waits up to `timeout_ms` for one of `count` (at most MAX_WAITED_SOCKETS)
/// sockets to become readable: 1 with `ready` set to its index, 0 time-out, -1 failure.
int wait_any_readable(const Socket* sockets, int count, int timeout_ms, int& ready);
/// The next waiting client, in blocking mode whatever the listener's mode,
/// with its address in `peer`.
Socket accept_client(Socket listening, NetAddress& peer);
/// How long a connect waits for the remote host to answer.
constexpr int CONNECT_TIMEOUT_MS = 20000;
/// Connects `s`, made for the address's family, to `address` at `port`. A
/// host that has not answered at `deadline_ms` (of tick_count_ms) fails with
/// the timed-out error; once `*give_up` is set the attempt ends at once with
/// the interrupted-call error. The socket is left blocking.
int connect_to_address(Socket s, const NetAddress& address, uint16_t port, uint64_t deadline_ms,
                       const std::atomic<bool>* give_up);
/// Receives at most `size` bytes: the count, 0 at the end of data, -1 on failure.
long receive_some(Socket s, void* buffer, size_t size);
/// Sends the whole block on a blocking socket, however many calls it takes:
/// `size`, or -1 on failure.
long send_all(Socket s, const void* data, size_t size);
/// Sends what a socket in non-blocking mode takes at once, never waiting
/// for room: the count sent (perhaps less than `size`), or -1.
long send_without_waiting(Socket s, const void* data, size_t size);
void shutdown_sending(Socket s);
/// Makes the coming close of `s` reset the connection instead of ending it in
/// order, and wakes a thread blocked receiving on `s` (as at the end of the
/// data); nothing is sent to the peer before the close.
void abort_connection(Socket s);
void close_socket(Socket s);
int set_non_blocking(Socket s);

/// How many sockets the process may hold open at once.
int socket_limit();

}  // namespace kiv
