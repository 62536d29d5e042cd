// A running service: its listening sockets on the engine's accepting loop,
// the clients it admits, each handed to a loop of the engine, and its end at
// a reset once no client connection is open.

#include <algorithm>
#include <vector>

#include "core/engine_counters.h"
#include "core/event_log.h"
#include "core/event_log_limiter.h"
#include "core/window_thread.h"
#include "forward/accepting_sockets.h"
#include "forward/engine.h"
#include "forward/forwarding.h"
#include "forward/service_chain.h"

namespace kiv {

namespace {

// Descriptors kept for what the agent opens besides relays, listening sockets
// and what the engine holds: standard streams, the control client, the log,
// kiv.cnf, kiv.access and table files, a few spare.
constexpr int RESERVED_DESCRIPTORS = 16;
// Clients accepted at once before the loop looks at its other sockets.
constexpr int ACCEPTS_AT_ONCE = 64;

// How many client connections may be open at once: as many as the
// descriptors the agent may take allow, besides those it holds for other
// things, so that a storm of clients cannot take the agent's last descriptor.
int connection_ceiling(const Engine& engine) {
  int held = RESERVED_DESCRIPTORS + listening_sockets_open() + engine.descriptors_held();
  return std::max(1, (socket_limit() - held) / SOCKETS_PER_RELAY);
}

/// Listener is one running service: its listening sockets and the row as the
/// service started with it, which a new configuration may change before the
/// service restarts. It lives on the engine's accepting loop.
struct Listener {
  Engine* engine;
  ServiceRecord* service;
  ServiceConfig config;
  AcceptingSockets accepting;
  bool paused = false;  // out of descriptors: accepting again after a pause
};

void fail_listener(Listener& listener, const char* what, int error) {
  ++listener.service->errors_o;
  log_event_limited(nullptr, "%s Error: %s %d", listener.config.name, what, error);
  listener.service->state = SVC_ERROR;
  send_notification(NOTIFY_STATUS_CHANGED);
}

void answer_reset(void* listener);

// The service ends: its sockets close and the window learns that one more
// running part has ended. It leaves its row's state as it was.
void end_listener(Listener* listener) {
  EventLoop& loop = listener->engine->accepting_loop().loop;
  loop.forget_check(answer_reset, listener);
  close_accepting(listener->accepting);
  --running_count;
  log_eventf("%s - thread Closed", listener->config.name);
  send_notification(NOTIFY_THREAD_CLOSED);
  // It may be ending from within its own handler.
  loop.post([listener] { delete listener; });
}

// Whether `client` may be relayed: when the agent holds as many connections
// as it may, it is closed and nothing stays counted for it.
bool admit_client(Listener& listener, Socket client) {
  int ceiling = connection_ceiling(*listener.engine);
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
  rearm_accepting(listener.accepting);
}

// While a reset waits, a listener accepts nobody; once no client connection
// is open anywhere, it ends.
void answer_reset(void* argument) {
  Listener* listener = static_cast<Listener*>(argument);
  if (reset_pending && connection_count == 0 && !listener->paused) end_listener(listener);
}

void accept_clients(void* owner, AcceptingSockets::Watched& listening) {
  Listener& listener = *static_cast<Listener*>(owner);
  if (reset_pending || listener.paused) return;
  for (int accepted = 0; accepted < ACCEPTS_AT_ONCE; ++accepted) {
    NetAddress peer_address;
    uint16_t peer_port = 0;
    Socket client = accept_client(listening.socket, peer_address, peer_port);
    if (client == NO_SOCKET) {
      int error = last_socket_error();
      if (is_would_block(error)) break;
      // A client that gave up while it waited is its own affair: the next goes on.
      if (is_pending_connection_error(error)) continue;
      fail_listener(listener, "Accept", error);
      // Descriptors run out under load and come back as relays end: the
      // service pauses instead of staying down until the next restart.
      if (!is_out_of_resources(error)) {
        end_listener(&listener);
        return;
      }
      listener.paused = true;
      listener.engine->accepting_loop().loop.call_later(LISTEN_PAUSE_MS, resume_accepting,
                                                        &listener);
      return;
    }
    if (!admitted_by_rules(listener.config.name, client, peer_address)) continue;
    if (!admit_client(listener, client)) continue;
    ServiceChain chain = chain_of_client(peer_address, peer_port);
    extend_chain(chain, listener.config.port, listener.config.name);
    relay_client(listener.engine->next_loop(), *listener.service, listener.config, client,
                 chain);
  }
  // The next client, or one still waiting after a round of accepts, is
  // reported once the socket is re-armed.
  rearm_accepting(listening);
}

void open_on_loop(Listener* listener) {
  const ServiceConfig& config = listener->config;
  EventLoop& loop = listener->engine->accepting_loop().loop;
  log_eventf("Start new thread: %s %u/%s/%u", config.name, config.port, config.host,
             config.remote_port);
  listener->accepting.client_waiting = accept_clients;
  listener->accepting.owner = listener;
  int error = open_accepting(listener->accepting, loop, config.name, config.port);
  loop.check_after_each_wake(answer_reset, listener);
  if (reset_pending) return;  // answer_reset ends it
  if (error != 0) {
    fail_listener(*listener, "Select", error);
    end_listener(listener);
  }
}

}  // namespace

void start_listener(Engine& engine, ServiceRecord& service, const ServiceConfig& config) {
  Listener* listener = new Listener;
  listener->engine = &engine;
  listener->service = &service;
  listener->config = config;
  engine.accepting_loop().loop.post([listener] { open_on_loop(listener); });
}

}  // namespace kiv
