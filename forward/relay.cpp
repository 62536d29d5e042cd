#include <cstdio>
#include <new>

#include "core/event_log.h"
#include "core/lifecycle.h"
#include "core/window_thread.h"
#include "forward/conversion_tables.h"
#include "forward/forwarding.h"
#include "forward/socket_helpers.h"
#include "platform/thread.h"

namespace kiv {

/// Relay is one client relayed to its remote host: both sockets and both
/// directions. The thread that accepted the client makes it; the direction
/// that ends last ends the relay and frees it.
struct Relay {
  ServiceRecord* service;
  ServiceConfig config;
  Socket client;
  Socket remote;
  PumpRecord write;
  PumpRecord read;
  std::atomic<bool> aborted{false};
  std::atomic<int> directions_running{2};
};

namespace {

void fill_record(PumpRecord& record, Relay& relay, std::atomic<uint32_t>& bytes, Socket from,
                 Socket to, const char* direction, const uint8_t* table) {
  record.state = &relay.service->state;
  record.errors = &relay.service->errors_t;
  record.bytes = &bytes;
  record.from_socket = from;
  record.to_socket = to;
  snprintf(record.name, sizeof record.name, "%s %s", relay.config.name, direction);
  record.outcome = SVC_READY;
  record.table = table;
  record.moved = false;
  record.aborted = &relay.aborted;
  record.relay = &relay;
}

int start_pump(PumpRecord& record, const char* service_name) {
  ++thread_count;
  int error = start_detached_thread(pump_thread, &record);
  if (error == 0) return 0;
  --thread_count;
  log_eventf("%s Error: Thread %d", service_name, error);
  return -1;
}

// Logs how a client's connection ended (0: well) and shows it on the lamp.
void close_connection(ServiceRecord& service, const char* name, int result) {
  if (result != 0) {
    log_event("Connection ERROR");
    service.state = SVC_ERROR;
  } else {
    service.state = SVC_READY;
  }
  send_notification(NOTIFY_STATUS_CHANGED);
  log_eventf("%s - Connection closed(%d)", name, result);
}

// Connects `client` to the service's remote host and starts the Read
// direction on a thread of its own. Null when the client's connection
// ended here instead; `client` is then still open.
Relay* start_relay(ServiceRecord& service, const ServiceConfig& config, Socket client,
                   char* message) {
  message[0] = '\0';
  ResolvedTables tables;
  if (resolve_tables(config.table_name, tables) != 0) {
    ++service.errors_o;
    return nullptr;
  }
  log_eventf("%s Connected", config.name);
  Socket remote = connect_to_host(config.host, config.remote_port, message);
  if (remote == NO_SOCKET) return nullptr;
  service.state = SVC_ACTIVE;
  send_notification(NOTIFY_STATUS_CHANGED);
  Relay* relay = new (std::nothrow) Relay();
  if (relay == nullptr) {
    log_message(message, "Not Enough Memory for temp. structure creation...");
    close_socket(remote);
    return nullptr;
  }
  relay->service = &service;
  relay->config = config;
  relay->client = client;
  relay->remote = remote;
  fill_record(relay->write, *relay, service.bytes_written, client, remote, "Write",
              tables.write_table);
  fill_record(relay->read, *relay, service.bytes_read, remote, client, "Read",
              tables.read_table);
  if (start_pump(relay->read, config.name) != 0) {
    close_socket(remote);
    delete relay;
    return nullptr;
  }
  return relay;
}

// Closes both connections of a relay whose directions have both ended.
void end_relay(Relay* relay) {
  ServiceRecord& service = *relay->service;
  // The relay is judged by how its own two directions ended. The service's
  // state, which the lamp shows, is shared with every other relay of the
  // service and may hold another relay's news, or this relay's later good
  // end hiding an earlier failure.
  int result = 0;
  if (relay->aborted || relay->write.outcome != SVC_READY || relay->read.outcome != SVC_READY) {
    service.state = SVC_ERROR;
    send_notification(NOTIFY_STATUS_CHANGED);
    result = -1;
  }
  close_socket(relay->remote);
  close_socket(relay->client);
  const ServiceConfig config = relay->config;
  delete relay;
  --connection_count;
  close_connection(service, config.name, result);
}

}  // namespace

void end_direction(PumpRecord& record) {
  // Lowered before the relay ends: once its connection closes, no direction
  // of it is still counted, so the last thread to close for a reset always
  // finds the count at 0.
  --thread_count;
  Relay* relay = record.relay;
  if (--relay->directions_running == 0) end_relay(relay);
}

void relay_client(ServiceRecord& service, Socket client) {
  const ServiceConfig config = service.config();
  char message[MESSAGE_SIZE];
  Relay* relay = start_relay(service, config, client, message);
  if (relay == nullptr) {
    close_socket(client);
    --connection_count;
    close_connection(service, config.name, -1);
    return;
  }
  // The Read direction has a thread of its own and this thread moves the
  // Write direction: the client's first bytes are often waiting already, and
  // the Read thread wakes while they travel to the remote host.
  ++thread_count;
  pump_thread(&relay->write);
}

}  // namespace kiv
