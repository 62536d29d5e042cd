#pragma once
// The forwarding engine: a listener per enabled service accepts clients on
// the engine's accepting loop and hands each to a loop of the engine, which
// relays it to the service's remote host in two directions until it ends.

#include <cstdint>

#include "core/service_table.h"
#include "platform/socket.h"

namespace kiv {

/// Largest block a direction receives and sends at once through a block.
constexpr int RELAY_BLOCK_SIZE = 64 * 1024;
/// Largest amount a direction moves at once through a pipe, and what it asks
/// a pipe to hold: the fewer calls per byte, the less a busy relay costs.
constexpr int RELAY_PIPE_SIZE = 1024 * 1024;
/// A direction that receives a whole block at once, without a table, takes
/// a pipe for its next bytes (where the platform has them).
constexpr int BUSY_BLOCK_SIZE = RELAY_BLOCK_SIZE;
/// Pipes open at once; a busy direction finding none left uses a block.
constexpr int MAX_PIPES = 8;
/// A direction waits this long after the end of its data before half-closing.
constexpr unsigned HALF_CLOSE_DELAY_MS = 2500;
/// How long a connect waits for the remote host to answer.
constexpr unsigned CONNECT_TIMEOUT_MS = 20000;
/// How long a listener pauses after the system had no descriptor for a client.
constexpr unsigned LISTEN_PAUSE_MS = 1000;
/// What one relay holds whatever it does: the client and remote sockets.
constexpr int SOCKETS_PER_RELAY = 2;

class Engine;
struct RelayLoop;
struct ServiceChain;

/// Starts serving `service` as `config` has it (from any thread; the service
/// keeps that copy until it ends): the listener opens on the engine's
/// accepting loop.
void start_listener(Engine& engine, ServiceRecord& service, const ServiceConfig& config);
/// Relays the accepted, counted `client` of `service` to its remote host on
/// `home`'s loop (from any thread); `chain` is the services the client came through.
void relay_client(RelayLoop& home, ServiceRecord& service, const ServiceConfig& config,
                  Socket client, const ServiceChain& chain);

}  // namespace kiv
