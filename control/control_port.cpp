#include "control/control_port.h"

#include <cstring>

#include "core/event_log.h"
#include "core/lifecycle.h"
#include "core/service_table.h"
#include "core/window_thread.h"
#include "forward/socket_helpers.h"
#include "platform/clock.h"

namespace kiv {

namespace {

/// An idle control port looks for a client (and a pending reset) this often.
constexpr unsigned IDLE_POLL_MS = 2000;
/// A connected client's next command is looked for this often.
constexpr unsigned COMMAND_POLL_MS = 1000;

template <size_t N>
CommandAnswer answer(ControlCommand command, const char (&reply)[N], bool closes) {
  return CommandAnswer{command, reply, N - 1, closes};
}

void set_state(ServiceRecord& row, ServiceState state) {
  row.state = state;
  send_notification(NOTIFY_STATUS_CHANGED);
}

void close_client(Socket client) {
  close_socket(client);
  --connection_count;
}

// Serves one accepted client until it leaves, quits or orders a reset.
void serve_client(ServiceRecord& row, Socket client) {
  set_non_blocking(client);
  set_state(row, SVC_ACTIVE);
  ++connection_count;
  log_event("KIV Port - Connection Established");
  ++row.connections;
  // Replies never wait: a client that sends without reading loses its
  // replies instead of holding the control port (and every reset) for ever.
  send_without_waiting(client, BANNER_REPLY, sizeof BANNER_REPLY - 1);
  row.bytes_written += sizeof BANNER_REPLY - 1;

  uint8_t segment[COMMAND_SIZE];
  for (;;) {
    long received = receive_some(client, segment, sizeof segment);
    if (received < 0) {
      if (is_would_block(last_socket_error())) {
        sleep_ms(COMMAND_POLL_MS);
        continue;
      }
      ++row.errors_t;
      received = 0;
    }
    if (received == 0) {
      close_socket(client);
      set_state(row, SVC_READY);
      --connection_count;
      log_event("KIV Port - Connection Closed");
      return;
    }
    CommandAnswer answer = answer_command(row, segment, static_cast<size_t>(received));
    send_without_waiting(client, answer.reply, answer.reply_size);
    if (answer.closes) {
      close_client(client);
      return;
    }
  }
}

// The next waiting client of any of the listening sockets, or NO_SOCKET
// with the first error that is not "no client yet" in `error`.
Socket accept_from_any(const ListeningSockets& listening, NetAddress& peer, int& error) {
  error = listening.count == 0 ? NOT_A_SOCKET_ERROR : 0;
  for (int i = 0; i < listening.count; ++i) {
    Socket client = accept_client(listening.sockets[i], peer);
    if (client != NO_SOCKET) return client;
    int failure = last_socket_error();
    if (error == 0 || is_would_block(error)) error = failure;
  }
  return NO_SOCKET;
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

void control_port_thread(void* argument) {
  ServiceRecord& row = *static_cast<ServiceRecord*>(argument);
  log_event("KIV port thread created");
  char message[MESSAGE_SIZE];
  const ServiceConfig config = row.config();
  const uint16_t port = config.port;
  ListeningSockets listening;
  open_listener(config.name, port, listening, message);
  for (int i = 0; i < listening.count; ++i) set_non_blocking(listening.sockets[i]);

  for (;;) {
    set_state(row, SVC_READY);
    NetAddress peer;
    int error = 0;
    Socket client = accept_from_any(listening, peer, error);
    if (client == NO_SOCKET) {
      if (is_would_block(error)) {
        if (reset_pending) break;
        sleep_ms(IDLE_POLL_MS);
        continue;
      }
      log_message(message, "KIV Port Error - Accept %d", error);
      ++row.errors_o;
      set_state(row, SVC_ERROR);
      // Descriptors run out under load and come back as relays end: the
      // control port pauses, as the services do, instead of staying down.
      if (!is_out_of_resources(error) || reset_pending) break;
      sleep_ms(IDLE_POLL_MS);
      continue;
    }
    if (!admitted_by_rules(config.name, client, peer)) continue;
    serve_client(row, client);
  }

  close_listener(listening, port);
  set_state(row, SVC_READY);
  --thread_count;
  log_event("KIV Port thread Closed");
  send_notification(NOTIFY_THREAD_CLOSED);
}

}  // namespace kiv
