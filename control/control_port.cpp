#include "control/control_port.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/engine_counters.h"
#include "core/event_log.h"
#include "core/service_table.h"
#include "core/window_thread.h"
#include "forward/accepting_sockets.h"
#include "forward/engine.h"

namespace kiv {

namespace {

/// How long the control port pauses after the system had no descriptor for a client.
constexpr unsigned ACCEPT_PAUSE_MS = 2000;

template <size_t N>
CommandAnswer answer(ControlCommand command, const char (&reply)[N], bool closes) {
  return CommandAnswer{command, reply, N - 1, closes};
}

void set_state(ServiceRecord& row, ServiceState state) {
  row.state = state;
  send_notification(NOTIFY_STATUS_CHANGED);
}

/// ControlPort is one running control port: its row, its listening sockets
/// and its one client at a time. It lives on the engine's accepting loop.
struct ControlPort : SocketHandler {  // the handler of its client
  Engine* engine;
  ServiceRecord* row;
  ServiceConfig config;  // the row as the control port started with it
  AcceptingSockets accepting;
  Socket client = NO_SOCKET;
  bool paused = false;  // out of descriptors: accepting again after a pause
};

EventLoop& loop_of(ControlPort& port) { return port.engine->accepting_loop().loop; }

void answer_reset(void* port);

void end_control_port(ControlPort* port) {
  loop_of(*port).forget_check(answer_reset, port);
  close_accepting(port->accepting);
  set_state(*port->row, SVC_READY);
  --running_count;
  log_event("KIV Port thread Closed");
  send_notification(NOTIFY_THREAD_CLOSED);
  // It may be ending from within its own handler.
  EventLoop& loop = loop_of(*port);
  loop.post([port] { delete port; });
}

// Takes one accepted client; the next waits until it has left.
void serve_client(ControlPort& port, Socket client) {
  ServiceRecord& row = *port.row;
  port.client = client;
  set_state(row, SVC_ACTIVE);
  ++connection_count;
  log_event("KIV Port - Connection Established");
  ++row.connections;
  set_keepalive(client);
  // Replies never wait: a client that sends without reading loses its
  // replies instead of holding the control port (and every reset) for ever.
  send_without_waiting(client, BANNER_REPLY, sizeof BANNER_REPLY - 1);
  row.bytes_written += sizeof BANNER_REPLY - 1;
  loop_of(port).watch(client, Readiness::Readable, &port);
}

// The next client waiting on `listening`, admitted by kiv.access, or
// NO_SOCKET with the would-block error when none waits.
Socket next_client(ControlPort& port, Socket listening) {
  NetAddress peer_address;
  uint16_t peer_port = 0;
  for (;;) {
    Socket client = accept_client(listening, peer_address, peer_port);
    if (client != NO_SOCKET) {
      if (admitted_by_rules(port.config.name, client, peer_address)) return client;
      continue;
    }
    if (!is_pending_connection_error(last_socket_error())) return NO_SOCKET;
  }
}

// Waits for the next client; at a reset, serves a client already waiting
// and otherwise ends.
void wait_for_client(ControlPort* port) {
  if (!reset_pending) {
    set_state(*port->row, SVC_READY);
    rearm_accepting(port->accepting);
    return;
  }
  for (int i = 0; i < port->accepting.watched_count; ++i) {
    Socket client = next_client(*port, port->accepting.watched[i].socket);
    if (client != NO_SOCKET) {
      serve_client(*port, client);
      return;
    }
  }
  end_control_port(port);
}

void resume_accepting(void* argument) {
  ControlPort* port = static_cast<ControlPort*>(argument);
  port->paused = false;
  wait_for_client(port);
}

void client_waiting(void* owner, AcceptingSockets::Watched& listening) {
  ControlPort& port = *static_cast<ControlPort*>(owner);
  // A client waiting meanwhile is taken once wait_for_client re-arms the socket.
  if (port.client != NO_SOCKET || port.paused || reset_pending) return;
  Socket client = next_client(port, listening.socket);
  if (client != NO_SOCKET) {
    serve_client(port, client);
    return;
  }
  int error = last_socket_error();
  if (is_would_block(error)) {
    rearm_accepting(listening);
    return;
  }
  log_eventf("KIV Port Error - Accept %d", error);
  ++port.row->errors_o;
  set_state(*port.row, SVC_ERROR);
  // Descriptors run out under load and come back as relays end: the
  // control port pauses, as the services do, instead of staying down.
  if (!is_out_of_resources(error)) {
    end_control_port(&port);
    return;
  }
  port.paused = true;
  loop_of(port).call_later(ACCEPT_PAUSE_MS, resume_accepting, &port);
}

void close_client(ControlPort& port) {
  loop_of(port).stop_watching(port.client, &port);
  close_socket(port.client);
  port.client = NO_SOCKET;
  --connection_count;
}

// Answers the client's next segment; each receive is one command.
void client_ready(SocketHandler* handler, Readiness) {
  ControlPort* port = static_cast<ControlPort*>(handler);
  ServiceRecord& row = *port->row;
  uint8_t segment[COMMAND_SIZE];
  long received = receive_some(port->client, segment, sizeof segment);
  if (received < 0) {
    if (is_would_block(last_socket_error())) {
      loop_of(*port).rearm(port->client, Readiness::Readable, port);
      return;
    }
    ++row.errors_t;
    received = 0;
  }
  if (received == 0) {
    close_client(*port);
    set_state(row, SVC_READY);
    log_event("KIV Port - Connection Closed");
    wait_for_client(port);
    return;
  }
  CommandAnswer answer = answer_command(row, segment, static_cast<size_t>(received));
  if (answer.command == ControlCommand::Reset) port->engine->wake_all();
  send_without_waiting(port->client, answer.reply, answer.reply_size);
  if (answer.closes) {
    close_client(*port);
    wait_for_client(port);
    return;
  }
  // The next segment may be waiting already.
  loop_of(*port).rearm(port->client, Readiness::Readable, port);
}

// A control port with no client ends as soon as a reset is asked for,
// once the clients already waiting have been served.
void answer_reset(void* argument) {
  ControlPort* port = static_cast<ControlPort*>(argument);
  if (reset_pending && port->client == NO_SOCKET && !port->paused) wait_for_client(port);
}

void open_on_loop(ControlPort* port) {
  log_event("KIV port thread created");
  port->accepting.client_waiting = client_waiting;
  port->accepting.owner = port;
  int error = open_accepting(port->accepting, loop_of(*port), port->config.name,
                             port->config.port);
  loop_of(*port).check_after_each_wake(answer_reset, port);
  set_state(*port->row, SVC_READY);
  if (error != 0) {
    log_eventf("KIV Port Error - Accept %d", error);
    ++port->row->errors_o;
    set_state(*port->row, SVC_ERROR);
    end_control_port(port);
  }
}

}  // namespace

ControlCommand judge_command(const uint8_t* segment, size_t size) {
  char text[COMMAND_SIZE + 1];
  size_t length = size < COMMAND_SIZE ? size : COMMAND_SIZE;
  for (size_t i = 0; i < length; ++i) {
    // ASCII letters only, by arithmetic: toupper follows the locale, and a
    // Turkish one keeps the i of "quit" small.
    unsigned char byte = segment[i];
    text[i] = static_cast<char>(byte >= 'a' && byte <= 'z' ? byte - 'a' + 'A' : byte);
  }
  text[length] = '\0';
  if (strncmp(text, "RES", 3) == 0) return ControlCommand::Reset;
  if (strncmp(text, "HELP", 4) == 0) return ControlCommand::Help;
  if (strncmp(text, "QUIT", 4) == 0) return ControlCommand::Quit;
  return ControlCommand::Unknown;
}

CommandAnswer answer_command(ServiceRecord& row, const uint8_t* segment, size_t size) {
  row.bytes_read += static_cast<uint32_t>(size);
  CommandAnswer reply{};
  switch (judge_command(segment, size)) {
    case ControlCommand::Reset:
      reset_pending = true;
      reply = answer(ControlCommand::Reset, RESET_REPLY, true);
      break;
    case ControlCommand::Help:
      reply = answer(ControlCommand::Help, HELP_REPLY, false);
      break;
    case ControlCommand::Quit:
      reply = answer(ControlCommand::Quit, QUIT_REPLY, true);
      break;
    case ControlCommand::Unknown:
      ++row.errors_o;
      reply = answer(ControlCommand::Unknown, UNKNOWN_REPLY, false);
      break;
  }
  row.bytes_written += static_cast<uint32_t>(reply.reply_size);
  return reply;
}

void start_control_port(Engine& engine, ServiceRecord& row) {
  ControlPort* port = new ControlPort;
  port->ready = client_ready;
  port->engine = &engine;
  port->row = &row;
  port->config = row.config();
  engine.accepting_loop().loop.post([port] { open_on_loop(port); });
}

}  // namespace kiv
