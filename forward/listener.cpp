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

// Hands `client` to a connection thread of its own; when none can be
// started, or the agent holds as many connections as it may, the client
// is closed and nothing stays counted for it.
void hand_over_client(ServiceRecord& service, const char* name, Socket client) {
  int ceiling = connection_ceiling();
  if (connection_count >= ceiling) {
    close_socket(client);
    fail_listener(service, name, "Connection limit", ceiling);
    return;
  }
  ++connection_count;
  ++service.connections;
  auto* hand_over = new ClientHandOver{client, &service};
  int error = start_detached_thread(connection_thread, hand_over);
  if (error == 0) return;
  delete hand_over;
  close_socket(client);
  --connection_count;
  --service.connections;
  fail_listener(service, name, "Thread", error);
}

}  // namespace

void listener_thread(void* argument) {
  ServiceRecord& service = *static_cast<ServiceRecord*>(argument);
  const ServiceConfig config = service.config();
  log_eventf("Start new thread: %s %u/%s/%u", config.name, config.port, config.host,
             config.remote_port);
  char message[MESSAGE_SIZE];
  Socket listening = open_listener(config.port, message);

  for (;;) {
    if (reset_pending) {
      if (connection_count == 0) break;
      sleep_ms(LISTEN_WAIT_MS);
      continue;
    }
    if (listening == NO_SOCKET) {
      fail_listener(service, config.name, "Select", NOT_A_SOCKET_ERROR);
      break;
    }
    int ready = wait_readable(listening, LISTEN_WAIT_MS);
    if (ready == 0) continue;
    if (ready < 0) {
      fail_listener(service, config.name, "Select", last_socket_error());
      break;
    }
    Socket client = accept_client(listening);
    if (client == NO_SOCKET) {
      int error = last_socket_error();
      fail_listener(service, config.name, "Accept", error);
      // Descriptors run out under load and come back as relays end: the
      // service pauses instead of staying down until the next restart.
      if (!is_out_of_resources(error)) break;
      sleep_ms(LISTEN_WAIT_MS);
      continue;
    }
    hand_over_client(service, config.name, client);
  }

  close_listener(listening, config.port);
  --thread_count;
  log_eventf("%s - thread Closed", config.name);
  send_notification(NOTIFY_THREAD_CLOSED);
}

}  // namespace kiv
