#pragma once
// The forwarding engine: a listener per enabled service accepts clients; each
// client gets a connection thread that relays it to the service's remote host
// through two pumps, one per direction.

#include <atomic>
#include <cstdint>

#include "core/service_table.h"
#include "platform/socket.h"

namespace kiv {

/// Largest block a pump receives and sends at once.
constexpr int PUMP_BLOCK_SIZE = 10240;
/// A pump waits this long after the end of its data before half-closing.
constexpr unsigned HALF_CLOSE_DELAY_MS = 2500;
/// How often a relay looks whether both of its pumps are done.
constexpr unsigned RELAY_POLL_MS = 2000;
/// A listener's wait for a client, and its step while a reset waits.
constexpr int LISTEN_WAIT_MS = 1000;
/// What one relay holds: the client and remote sockets; its connection
/// thread and two pumps.
constexpr int SOCKETS_PER_RELAY = 2;
constexpr int THREADS_PER_RELAY = 3;

/// PumpRecord is one direction of a relay: what the pump receives from,
/// sends to, translates with and counts in. run_relay owns it and both
/// sockets; the pump only borrows them, and setting `done` is its last use.
struct PumpRecord {
  std::atomic<uint16_t>* state;    // the service's state, which the pump sets
  std::atomic<uint32_t>* errors;   // the service's errors_t
  std::atomic<uint32_t>* bytes;    // bytes_written (Write) or bytes_read (Read)
  Socket from_socket;
  Socket to_socket;                // half-closed at the end of the data
  char name[16];                   // "<service> Write" or "<service> Read"
  std::atomic<int> done;
  std::atomic<uint16_t> outcome;   // how this direction ended: SVC_READY or SVC_ERROR
  std::atomic<bool>* aborted;      // the relay's: set when either direction broke
  const uint8_t* table;            // each byte b becomes table[b], or none
};

/// Thread body: serves one forwarding service; the argument is its ServiceRecord.
void listener_thread(void* service);
/// Thread body: relays one accepted client; takes a heap ClientHandOver.
void connection_thread(void* hand_over);
/// Thread body: moves one direction of a relay; the argument is its PumpRecord.
void pump_thread(void* record);

/// What a listener hands to the connection thread of a new client.
struct ClientHandOver {
  Socket client;
  ServiceRecord* service;
};

/// Relays `client` to host:remote_port until both directions have ended;
/// closes both sockets and lowers connection_count. 0 when it ended well.
int run_relay(ServiceRecord& service, const char* table_name, const char* host,
              uint16_t remote_port, Socket client, char* message);

}  // namespace kiv
