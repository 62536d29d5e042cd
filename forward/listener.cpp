#include <algorithm>
#include <vector>

#include "core/engine_counters.h"
#include "core/event_log.h"
#include "core/event_log_limiter.h"
#include "core/event_loop.h"
#include "core/window_thread.h"
#include "forward/forwarding.h"
#include "forward/service_chain.h"
#include "forward/socket_helpers.h"

namespace kiv {

namespace {

// Descriptors kept for what is not a relay: standard streams, listeners,
// the control client, the log and table files, the event loop's own; and
// the pipes lent to busy directions.
constexpr int RESERVED_SOCKETS = 16 + 2 * MAX_PIPES;
// Clients accepted at once before the loop looks at its other sockets.
constexpr int ACCEPTS_AT_ONCE = 64;

// How many client connections may be open at once: as many as the
// descriptors the agent may take allow, so that a storm of clients cannot
// take the agent's last descriptor. A relay holds no thread while it waits.
int connection_ceiling() {
  return std::max(1, (socket_limit() - RESERVED_SOCKETS) / SOCKETS_PER_RELAY);
}

struct Listener;

/// One listening socket of a service as the event loop sees it.
struct ListenerSocket : SocketHandler {
  Listener* listener;
  Socket socket;
};

/// Listener is one running service: its listening sockets and the row as the
/// service started with it, which a new configuration may change before the
/// service restarts. It lives on the event loop's thread.
struct Listener {
  ServiceRecord* service;
  ServiceConfig config;
  ListeningSockets sockets;
  ListenerSocket watched[MAX_LISTEN_ADDRESSES];
  int watched_count = 0;
  bool paused = false;  // out of descriptors: accepting again after a pause
};

// The running listeners; the event loop's thread's alone.
std::vector<Listener*>& listeners() {
  static std::vector<Listener*>* running = new std::vector<Listener*>;
  return *running;
}

void fail_listener(Listener& listener, const char* what, int error) {
  ++listener.service->errors_o;
  log_event_limited(nullptr, "%s Error: %s %d", listener.config.name, what, error);
  listener.service->state = SVC_ERROR;
  send_notification(NOTIFY_STATUS_CHANGED);
}

void free_listener(void* listener) { delete static_cast<Listener*>(listener); }

// The service ends: its sockets close and the window learns that one more
// running part has ended. It leaves its row's state as it was.
void end_listener(Listener& listener) {
  std::vector<Listener*>& running = listeners();
  running.erase(std::find(running.begin(), running.end(), &listener));
  for (int i = 0; i < listener.watched_count; ++i) stop_watching(listener.watched[i].socket);
  close_listener(listener.sockets, listener.config.port);
  --running_count;
  log_eventf("%s - thread Closed", listener.config.name);
  send_notification(NOTIFY_THREAD_CLOSED);
  // A readiness of its sockets taken in this round may still be delivered.
  call_on_loop(free_listener, &listener);
}

// Whether `client` may be relayed: when the agent holds as many connections
// as it may, it is closed and nothing stays counted for it.
bool admit_client(Listener& listener, Socket client) {
  int ceiling = connection_ceiling();
  if (connection_count >= ceiling) {
    close_socket(client);
    fail_listener(listener, "Connection limit", ceiling);
    return false;
  }
  ++connection_count;
  ++listener.service->connections;
  return true;
}

void resume_accepting(void* argument) {
  Listener& listener = *static_cast<Listener*>(argument);
  listener.paused = false;
  for (int i = 0; i < listener.watched_count; ++i) {
    rearm_socket(listener.watched[i].socket, Readiness::Readable, &listener.watched[i]);
  }
}

// While a reset waits, a listener accepts nobody; once no client connection
// is open anywhere, it ends.
void answer_reset() {
  if (!reset_pending) return;
  std::vector<Listener*> running = listeners();
  for (Listener* listener : running) {
    if (connection_count == 0 && !listener->paused) end_listener(*listener);
  }
}

void accept_clients(SocketHandler* handler, Readiness) {
  ListenerSocket& accepting = *static_cast<ListenerSocket*>(handler);
  Listener& listener = *accepting.listener;
  if (reset_pending || listener.paused) return;
  for (int accepted = 0; accepted < ACCEPTS_AT_ONCE; ++accepted) {
    NetAddress peer_address;
    uint16_t peer_port = 0;
    Socket client = accept_client(accepting.socket, peer_address, peer_port);
    if (client == NO_SOCKET) {
      int error = last_socket_error();
      if (is_would_block(error)) break;
      fail_listener(listener, "Accept", error);
      // Descriptors run out under load and come back as relays end: the
      // service pauses instead of staying down until the next restart.
      if (!is_out_of_resources(error)) {
        end_listener(listener);
        return;
      }
      listener.paused = true;
      call_later(LISTEN_PAUSE_MS, resume_accepting, &listener);
      return;
    }
    if (!admitted_by_rules(listener.config.name, client, peer_address)) continue;
    if (!admit_client(listener, client)) continue;
    ServiceChain chain = chain_of_client(peer_address, peer_port);
    extend_chain(chain, listener.config.port, listener.config.name);
    relay_client(*listener.service, listener.config, client, chain);
  }
  // The next client, or one still waiting after a round of accepts, is
  // reported once the socket is re-armed.
  rearm_socket(accepting.socket, Readiness::Readable, &accepting);
}

void open_listener_on_loop(void* argument) {
  Listener& listener = *static_cast<Listener*>(argument);
  const ServiceConfig& config = listener.config;
  check_after_each_wake(answer_reset);
  listeners().push_back(&listener);
  log_eventf("Start new thread: %s %u/%s/%u", config.name, config.port, config.host,
             config.remote_port);
  char message[MESSAGE_SIZE];
  bool opened = open_listener(config.name, config.port, listener.sockets, message);
  if (reset_pending) return;  // answer_reset ends it
  int error = opened ? 0 : NOT_A_SOCKET_ERROR;
  for (int i = 0; error == 0 && i < listener.sockets.count; ++i) {
    ListenerSocket& accepting = listener.watched[i];
    accepting.ready = accept_clients;
    accepting.listener = &listener;
    accepting.socket = listener.sockets.sockets[i];
    if (set_non_blocking(accepting.socket) != 0) {
      error = last_socket_error();
    } else {
      error = watch_socket(accepting.socket, Readiness::Readable, &accepting);
      if (error == 0) ++listener.watched_count;
    }
  }
  if (error != 0) {
    fail_listener(listener, "Select", error);
    end_listener(listener);
  }
}

}  // namespace

void start_listener(ServiceRecord& service, const ServiceConfig& config) {
  Listener* listener = new Listener;
  listener->service = &service;
  listener->config = config;
  call_on_loop(open_listener_on_loop, listener);
}

}  // namespace kiv
