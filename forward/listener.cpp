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

// Hands `client` to a connection thread of its own; when none can be
// started the client is closed and nothing stays counted for it.
void hand_over_client(ServiceRecord& service, const char* name, Socket client) {
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

  close_socket(listening);
  --thread_count;
  log_eventf("%s - thread Closed", config.name);
  send_notification(NOTIFY_THREAD_CLOSED);
}

}  // namespace kiv
