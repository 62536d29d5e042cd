#pragma once
// The forwarding engine: a listener per enabled service accepts clients; each
// client is relayed to the service's remote host through two pumps, one per
// direction. A direction holds a thread while its first bytes are awaited
// and while bytes move; for later bytes (the socket watcher) and for its
// half-close (a delayed call) it waits holding none.

#include <atomic>
#include <cstdint>

#include "core/service_table.h"
#include "platform/socket.h"

namespace kiv {

/// Largest block a pump receives and sends at once through a block.
constexpr int PUMP_BLOCK_SIZE = 256 * 1024;
/// Largest block a pump moves at once through a pipe, and what it asks a
/// pipe to hold: the fewer calls per byte, the less a busy relay costs.
constexpr int PUMP_PIPE_SIZE = 1024 * 1024;
/// A pump that receives less than this at once, or finds no more waiting,
/// gives back its block or pipe and waits for the next bytes holding none.
constexpr int BUSY_BLOCK_SIZE = 64 * 1024;
/// A pump waits this long after the end of its data before half-closing.
constexpr unsigned HALF_CLOSE_DELAY_MS = 2500;
/// A listener's wait for a client, and its step while a reset waits.
constexpr int LISTEN_WAIT_MS = 1000;
/// What one relay holds at most: the client and remote sockets, and a thread
/// for each direction (first the one that accepted the client, moving the
/// Write direction, and the Read pump's).
constexpr int SOCKETS_PER_RELAY = 2;
constexpr int THREADS_PER_RELAY = 2;

struct Relay;

/// PumpRecord is one direction of a relay: what the pump receives from,
/// sends to, translates with and counts in. Its relay owns it and both
/// sockets; the pump only borrows them, and end_direction is its last use.
struct PumpRecord {
  std::atomic<uint16_t>* state;    // the service's state, which the pump sets
  std::atomic<uint32_t>* errors;   // the service's errors_t
  std::atomic<uint32_t>* bytes;    // bytes_written (Write) or bytes_read (Read)
  Socket from_socket;
  Socket to_socket;                // half-closed at the end of the data
  char name[16];                   // "<service> Write" or "<service> Read"
  std::atomic<uint16_t> outcome;   // how this direction ended: SVC_READY or SVC_ERROR
  std::atomic<bool>* aborted;      // the relay's: set when either direction broke
  const uint8_t* table;            // each byte b becomes table[b], or none
  bool moved;                      // whether any bytes have passed yet
  Relay* relay;
};

/// Thread body: serves one forwarding service; the argument is its ServiceRecord.
/// The thread that accepts a client relays it, moving the Write direction
/// itself, and another thread takes over the waiting for the next client.
void listener_thread(void* service);
/// Relays the accepted `client` of `service` until its Write direction ends.
void relay_client(ServiceRecord& service, Socket client);
/// Thread body: moves one direction of a relay; the argument is its PumpRecord.
void pump_thread(void* record);
/// Marks `record`'s direction ended; the relay ends with the last of its two.
void end_direction(PumpRecord& record);

}  // namespace kiv
