#include "control/control_port.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/engine_counters.h"
#include "core/event_log.h"
#include "core/event_loop.h"
#include "core/service_table.h"
#include "core/window_thread.h"
#include "forward/socket_helpers.h"

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

struct ControlPort;

/// A listening socket or the client of a control port, as the event loop sees them.
struct ControlSocket : SocketHandler {
  ControlPort* port;
  Socket socket = NO_SOCKET;
};

/// ControlPort is one running control port: its row, its listening sockets
/// and its one client at a time. It lives on the event loop's thread.
struct ControlPort {
  ServiceRecord* row;
  ServiceConfig config;  // the row as the control port started with it
  ListeningSockets sockets;
  ControlSocket listening[MAX_LISTEN_ADDRESSES];
  int watched_count = 0;
  ControlSocket client;
  bool paused = false;  // out of descriptors: accepting again after a pause
};

// The running control ports; the event loop's thread's alone.
std::vector<ControlPort*>& control_ports() {
  static std::vector<ControlPort*>* running = new std::vector<ControlPort*>;
  return *running;
}

void free_control_port(void* port) { delete static_cast<ControlPort*>(port); }

void end_control_port(ControlPort& port) {
  std::vector<ControlPort*>& running = control_ports();
  running.erase(std::find(running.begin(), running.end(), &port));
  for (int i = 0; i < port.watched_count; ++i) stop_watching(port.listening[i].socket);
  close_listener(port.sockets, port.config.port);
  set_state(*port.row, SVC_READY);
  --running_count;
  log_event("KIV Port thread Closed");
  send_notification(NOTIFY_THREAD_CLOSED);
  // A readiness of its sockets taken in this round may still be delivered.
  call_on_loop(free_control_port, &port);
}

// Waits for the next client, or ends for a pending reset.
void wait_for_client(ControlPort& port) {
  if (reset_pending) {
    end_control_port(port);
    return;
  }
  set_state(*port.row, SVC_READY);
  for (int i = 0; i < port.watched_count; ++i) {
    rearm_socket(port.listening[i].socket, Readiness::Readable, &port.listening[i]);
  }
}

void close_client(ControlPort& port) {
  stop_watching(port.client.socket);
  close_socket(port.client.socket);
  port.client.socket = NO_SOCKET;
  --connection_count;
}

// Takes one accepted client; the next waits until it has left.
void serve_client(ControlPort& port, Socket client) {
  ServiceRecord& row = *port.row;
  port.client.socket = client;
  set_state(row, SVC_ACTIVE);
  ++connection_count;
  log_event("KIV Port - Connection Established");
  ++row.connections;
  // Replies never wait: a client that sends without reading loses its
  // replies instead of holding the control port (and every reset) for ever.
  send_without_waiting(client, BANNER_REPLY, sizeof BANNER_REPLY - 1);
  row.bytes_written += sizeof BANNER_REPLY - 1;
  watch_socket(client, Readiness::Readable, &port.client);
}

void resume_accepting(void* argument) {
  ControlPort& port = *static_cast<ControlPort*>(argument);
  port.paused = false;
  wait_for_client(port);
}

void accept_next(ControlPort& port, ControlSocket& listening) {
  NetAddress peer_address;
  uint16_t peer_port = 0;
  Socket client;
  do {
    client = accept_client(listening.socket, peer_address, peer_port);
  } while (client != NO_SOCKET && !admitted_by_rules(port.config.name, client, peer_address));
  if (client != NO_SOCKET) {
    serve_client(port, client);
    return;
  }
  int error = last_socket_error();
  if (is_would_block(error)) {
    rearm_socket(listening.socket, Readiness::Readable, &listening);
    return;
  }
  char message[MESSAGE_SIZE];
  log_message(message, "KIV Port Error - Accept %d", error);
  ++port.row->errors_o;
  set_state(*port.row, SVC_ERROR);
  // Descriptors run out under load and come back as relays end: the
  // control port pauses, as the services do, instead of staying down.
  if (!is_out_of_resources(error) || reset_pending) {
    end_control_port(port);
    return;
  }
  port.paused = true;
  call_later(ACCEPT_PAUSE_MS, resume_accepting, &port);
}

// Answers the client's next segment; each receive is one command.
void answer_client(ControlPort& port) {
  ServiceRecord& row = *port.row;
  uint8_t segment[COMMAND_SIZE];
  long received = receive_some(port.client.socket, segment, sizeof segment);
  if (received < 0) {
    if (is_would_block(last_socket_error())) {
      rearm_socket(port.client.socket, Readiness::Readable, &port.client);
      return;
    }
    ++row.errors_t;
    received = 0;
  }
  if (received == 0) {
    stop_watching(port.client.socket);
    close_socket(port.client.socket);
    port.client.socket = NO_SOCKET;
    set_state(row, SVC_READY);
    --connection_count;
    log_event("KIV Port - Connection Closed");
    wait_for_client(port);
    return;
  }
  CommandAnswer answer = answer_command(row, segment, static_cast<size_t>(received));
  send_without_waiting(port.client.socket, answer.reply, answer.reply_size);
  if (answer.closes) {
    close_client(port);
    wait_for_client(port);
    return;
  }
  // The next segment may be waiting already.
  rearm_socket(port.client.socket, Readiness::Readable, &port.client);
}

void client_ready(SocketHandler* handler, Readiness) {
  answer_client(*static_cast<ControlSocket*>(handler)->port);
}

void listening_ready(SocketHandler* handler, Readiness) {
  ControlSocket& listening = *static_cast<ControlSocket*>(handler);
  ControlPort& port = *listening.port;
  // A client waiting meanwhile is taken once wait_for_client re-arms the socket.
  if (port.client.socket == NO_SOCKET && !port.paused && !reset_pending) {
    accept_next(port, listening);
  }
}

// A control port with no client ends as soon as a reset is asked for.
void answer_reset() {
  if (!reset_pending) return;
  std::vector<ControlPort*> running = control_ports();
  for (ControlPort* port : running) {
    if (port->client.socket == NO_SOCKET && !port->paused) end_control_port(*port);
  }
}

void open_control_port(void* argument) {
  ControlPort& port = *static_cast<ControlPort*>(argument);
  check_after_each_wake(answer_reset);
  control_ports().push_back(&port);
  log_event("KIV port thread created");
  char message[MESSAGE_SIZE];
  bool opened = open_listener(port.config.name, port.config.port, port.sockets, message);
  set_state(*port.row, SVC_READY);
  int error = opened ? 0 : NOT_A_SOCKET_ERROR;
  for (int i = 0; error == 0 && i < port.sockets.count; ++i) {
    ControlSocket& listening = port.listening[i];
    listening.ready = listening_ready;
    listening.port = &port;
    listening.socket = port.sockets.sockets[i];
    if (set_non_blocking(listening.socket) != 0) {
      error = last_socket_error();
    } else {
      error = watch_socket(listening.socket, Readiness::Readable, &listening);
      if (error == 0) ++port.watched_count;
    }
  }
  if (error != 0) {
    log_message(message, "KIV Port Error - Accept %d", error);
    ++port.row->errors_o;
    set_state(*port.row, SVC_ERROR);
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
      wake_event_loop();
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

void start_control_port(ServiceRecord& row) {
  ControlPort* port = new ControlPort;
  port->row = &row;
  port->config = row.config();
  port->client.ready = client_ready;
  port->client.port = port;
  call_on_loop(open_control_port, port);
}

}  // namespace kiv
