#include <cstdio>
#include <new>

#include "core/event_log.h"
#include "core/lifecycle.h"
#include "core/window_thread.h"
#include "forward/conversion_tables.h"
#include "forward/forwarding.h"
#include "forward/socket_helpers.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace kiv {

namespace {

void fill_record(PumpRecord& record, ServiceRecord& service, std::atomic<uint32_t>& bytes,
                 Socket from, Socket to, const char* name, const char* direction,
                 const uint8_t* table, std::atomic<bool>& aborted) {
  record.state = &service.state;
  record.errors = &service.errors_t;
  record.bytes = &bytes;
  record.from_socket = from;
  record.to_socket = to;
  snprintf(record.name, sizeof record.name, "%s %s", name, direction);
  record.done = 0;
  record.outcome = SVC_READY;
  record.table = table;
  record.aborted = &aborted;
}

int start_pump(PumpRecord& record, const char* service_name) {
  ++thread_count;
  int error = start_detached_thread(pump_thread, &record);
  if (error == 0) return 0;
  --thread_count;
  log_eventf("%s Error: Thread %d", service_name, error);
  return -1;
}

// Runs both pumps of a connected relay until both are done; 0 when the
// service's state says the relay ended well.
int pump_both_ways(ServiceRecord& service, const char* name, const ResolvedTables& tables,
                   Socket client, Socket remote, char* message) {
  std::unique_ptr<PumpRecord> write(new (std::nothrow) PumpRecord());
  std::unique_ptr<PumpRecord> read(new (std::nothrow) PumpRecord());
  if (!write || !read) {
    log_message(message, "Not Enough Memory for temp. structure creation...");
    return -1;
  }
  std::atomic<bool> aborted{false};
  fill_record(*write, service, service.bytes_written, client, remote, name, "Write",
              tables.write_table, aborted);
  if (start_pump(*write, name) != 0) return -1;
  fill_record(*read, service, service.bytes_read, remote, client, name, "Read",
              tables.read_table, aborted);
  int result = 0;
  if (start_pump(*read, name) != 0) {
    // The Write pump borrows both sockets: end its direction and let it finish.
    shutdown_both(client);
    read->done = 1;
    result = -1;
  }
  // The next client wants a connection thread and two pumps of its own:
  // they are made now, while this relay has nothing to do, not on its way.
  make_spare_threads(THREADS_PER_RELAY);
  while (!(write->done && read->done)) sleep_ms(RELAY_POLL_MS);
  // The relay is judged by how its own two directions ended. The service's
  // state, which the lamp shows, is shared with every other relay of the
  // service and may hold another relay's news, or this relay's later good
  // end hiding an earlier failure.
  if (result != 0 || aborted || write->outcome != SVC_READY || read->outcome != SVC_READY) {
    service.state = SVC_ERROR;
    send_notification(NOTIFY_STATUS_CHANGED);
    return -1;
  }
  return 0;
}

}  // namespace

int run_relay(ServiceRecord& service, const char* table_name, const char* host,
              uint16_t remote_port, Socket client, char* message) {
  message[0] = '\0';
  const ServiceConfig config = service.config();
  int result = -1;
  ResolvedTables tables;
  if (resolve_tables(table_name, tables) != 0) {
    ++service.errors_o;
  } else {
    log_eventf("%s Connected", config.name);
    Socket remote = connect_to_host(host, remote_port, message);
    if (remote != NO_SOCKET) {
      service.state = SVC_ACTIVE;
      send_notification(NOTIFY_STATUS_CHANGED);
      result = pump_both_ways(service, config.name, tables, client, remote, message);
      close_socket(remote);
    }
  }
  close_socket(client);
  --connection_count;
  return result;
}

void connection_thread(void* argument) {
  ClientHandOver hand_over = *static_cast<ClientHandOver*>(argument);
  delete static_cast<ClientHandOver*>(argument);
  ServiceRecord& service = *hand_over.service;
  const ServiceConfig config = service.config();
  char message[MESSAGE_SIZE];
  int result = run_relay(service, config.table_name, config.host, config.remote_port,
                         hand_over.client, message);
  if (result != 0) {
    log_event("Connection ERROR");
    service.state = SVC_ERROR;
  } else {
    service.state = SVC_READY;
  }
  send_notification(NOTIFY_STATUS_CHANGED);
  log_eventf("%s - Connection closed(%d)", config.name, result);
}

}  // namespace kiv
