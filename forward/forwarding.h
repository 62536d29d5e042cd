#pragma once
// The forwarding engine: a listener per enabled service accepts clients on
// the event loop; each client is relayed to the service's remote host in
// two directions. A direction holds a worker only while its bytes move;
// waiting for bytes, for room to send or for its half-close, it holds none.

#include <cstdint>

#include "core/service_table.h"
#include "platform/socket.h"

namespace kiv {

/// Largest block a direction receives and sends at once through a block.
constexpr int PUMP_BLOCK_SIZE = 256 * 1024;
/// Largest block a direction moves at once through a pipe, and what it asks
/// a pipe to hold: the fewer calls per byte, the less a busy relay costs.
constexpr int PUMP_PIPE_SIZE = 1024 * 1024;
/// A direction that receives at least this much at once, without a table,
/// takes a pipe for its next bytes (where the platform has them).
constexpr int BUSY_BLOCK_SIZE = 64 * 1024;
/// Pipes lent at once; a busy direction finding none left uses a block.
constexpr int MAX_PIPES = 8;
/// A direction waits this long after the end of its data before half-closing.
constexpr unsigned HALF_CLOSE_DELAY_MS = 2500;
/// How long a connect waits for the remote host to answer.
constexpr unsigned CONNECT_TIMEOUT_MS = 20000;
/// How long a listener pauses after the system had no descriptor for a client.
constexpr unsigned LISTEN_PAUSE_MS = 1000;
/// What one relay holds whatever it does: the client and remote sockets.
constexpr int SOCKETS_PER_RELAY = 2;

struct ServiceChain;

/// Starts serving `service` as `config` has it (from any thread; the service
/// keeps that copy until it ends): the listener opens on the event loop.
void start_listener(ServiceRecord& service, const ServiceConfig& config);
/// Relays the accepted, counted `client` of `service` to its remote host, on
/// the event loop's thread; `chain` is the services the client came through.
void relay_client(ServiceRecord& service, const ServiceConfig& config, Socket client,
                  const ServiceChain& chain);

}  // namespace kiv
