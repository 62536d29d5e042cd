#include <algorithm>

#include "core/event_log.h"
#include "core/lifecycle.h"
#include "core/window_thread.h"
#include "forward/forwarding.h"
#include "forward/socket_helpers.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace kiv {

namespace {

void fail_listener(ServiceRecord& service, const char* name, const char* what, int error) {
  ++service.errors_o;
  log_eventf("%s Error: %s %d", name, what, error);
  service.state = SVC_ERROR;
  send_notification(NOTIFY_STATUS_CHANGED);
}

// Descriptors and threads kept for what is not a relay: standard streams,
// listeners, the control client, the log and table files; the window and
// signal threads, threads parked for the next relays.
constexpr int RESERVED_SOCKETS = 16;
constexpr int RESERVED_THREADS = 100;

// How many client connections may be open at once: as many as the sockets
// and threads the agent may take allow, so that a storm of clients (or a
// service that reaches this agent again through another host) cannot take
// the machine's last process or the agent's last descriptor.
int connection_ceiling() {
  int by_sockets = (socket_limit() - RESERVED_SOCKETS) / SOCKETS_PER_RELAY;
  int by_threads = (thread_limit() - RESERVED_THREADS) / THREADS_PER_RELAY;
  return std::max(1, std::min(by_sockets, by_threads));
}

// A listening socket of a service, handed from thread to thread: the
// thread that accepts a client relays it, and the next one waits. It keeps
// the row as the service started with it, which a new configuration may
// change before the service restarts.
struct Listening {
  ServiceRecord* service;
  ServiceConfig config;
  ListeningSockets sockets;
};

// Whether `client` may be relayed: when the agent holds as many connections
// as it may, it is closed and nothing stays counted for it.
bool admit_client(ServiceRecord& service, const char* name, Socket client) {
  int ceiling = connection_ceiling();
  if (connection_count >= ceiling) {
    close_socket(client);
    fail_listener(service, name, "Connection limit", ceiling);
    return false;
  }
  ++connection_count;
  ++service.connections;
  return true;
}

// Waits for clients until a reset or a failure ends the service. A client
// is relayed on this thread once another has taken over the waiting, so
// that no hand-over stands between a new client and its remote host; when
// no thread can take over, the client is closed and this one waits on.
void listen_for_clients(void* argument) {
  Listening& listening = *static_cast<Listening*>(argument);
  ServiceRecord& service = *listening.service;
  const ServiceConfig& config = listening.config;
  for (;;) {
    if (reset_pending) {
      if (connection_count == 0) break;
      sleep_ms(LISTEN_WAIT_MS);
      continue;
    }
    if (listening.sockets.count == 0) {
      fail_listener(service, config.name, "Select", NOT_A_SOCKET_ERROR);
      break;
    }
    int index = 0;
    int ready = wait_any_readable(listening.sockets.sockets, listening.sockets.count,
                                  LISTEN_WAIT_MS, index);
    if (ready == 0) continue;
    if (ready < 0) {
      fail_listener(service, config.name, "Select", last_socket_error());
      break;
    }
    NetAddress peer;
    Socket client = accept_client(listening.sockets.sockets[index], peer);
    if (client == NO_SOCKET) {
      int error = last_socket_error();
      fail_listener(service, config.name, "Accept", error);
      // Descriptors run out under load and come back as relays end: the
      // service pauses instead of staying down until the next restart.
      if (!is_out_of_resources(error)) break;
      sleep_ms(LISTEN_WAIT_MS);
      continue;
    }
    if (!admitted_by_rules(config.name, client, peer)) continue;
    if (!admit_client(service, config.name, client)) continue;
    int error = start_detached_thread(listen_for_clients, &listening);
    if (error == 0) {
      relay_client(service, client);
      return;
    }
    close_socket(client);
    --connection_count;
    --service.connections;
    fail_listener(service, config.name, "Thread", error);
  }

  close_listener(listening.sockets, config.port);
  --thread_count;
  log_eventf("%s - thread Closed", config.name);
  delete &listening;
  send_notification(NOTIFY_THREAD_CLOSED);
}

}  // namespace

void listener_thread(void* argument) {
  ServiceRecord& service = *static_cast<ServiceRecord*>(argument);
  const ServiceConfig config = service.config();
  log_eventf("Start new thread: %s %u/%s/%u", config.name, config.port, config.host,
             config.remote_port);
  char message[MESSAGE_SIZE];
  Listening* listening = new Listening{&service, config, {}};
  open_listener(config.name, config.port, listening->sockets, message);
  listen_for_clients(listening);
}

}  // namespace kiv
