// The life of one relay, from its accepted client to its last close: the
// lookup of the remote host, the connect to it, the two directions that move
// its bytes, their half-closes, an abort passed on as an abort, and the
// relay's end.
//
// A relay belongs to one event loop from the moment it is handed its client
// to its end: every call below runs on that loop's thread, except the lookup
// work that runs on the engine's pool and posts its result back. One handler
// serves both sockets, so a failure of either is seen whatever each
// direction is doing.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/engine_counters.h"
#include "core/event_log.h"
#include "core/window_thread.h"
#include "forward/conversion_tables.h"
#include "forward/engine.h"
#include "forward/forwarding.h"
#include "forward/service_chain.h"
#include "forward/socket_helpers.h"
#include "forward/translate.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/splice.h"

namespace kiv {

struct Relay;

/// Direction is one way of a relay: what it receives from, sends to,
/// translates with and counts in, and the bytes it has yet to send.
struct Direction {
  Relay* relay = nullptr;
  Socket from = NO_SOCKET;
  Socket to = NO_SOCKET;
  std::atomic<uint32_t>* bytes = nullptr;  // the service's bytes_written or bytes_read
  const uint8_t* table = nullptr;          // each byte b becomes table[b], or none
  char name[NAME_CAPACITY + 8];            // "<service> Write" or "<service> Read"
  // Bytes received and not sent yet: block[sent, held) or in_pipe in the pipe.
  std::unique_ptr<uint8_t[]> block;
  size_t sent = 0;
  size_t held = 0;
  SplicePipe pipe;
  size_t in_pipe = 0;
  bool busy = false;      // its last receive filled a block: a pipe serves it better
  bool ended = false;     // its source has ended its data, all of it sent on
  bool shut = false;      // its destination is half-closed
  bool pausing = false;   // waiting for `half_close` to half-close it
  LoopTimer half_close;
  bool failed = false;    // it failed (a send or receive error)
};

/// One socket of a relay as its loop sees it.
struct RelaySocket : SocketHandler {
  Relay* relay;
};

/// One connect to one of the remote host's addresses.
struct Attempt : SocketHandler {
  Relay* relay;
  Socket socket = NO_SOCKET;
  uint16_t noted_port = 0;  // its connection to another service of the agent
};

/// What a lookup on the pool hands back to the relay it was made for, if the
/// relay still waits for it.
struct Lookup {
  Relay* relay = nullptr;  // the relay's loop's alone; null once it gave up
  bool tables_failed = false;
  ResolvedTables tables;
  std::vector<NetAddress> addresses;
};

/// Relay is one client relayed to its remote host.
struct Relay {
  RelayLoop* home;
  ServiceRecord* service;
  ServiceConfig config;  // the row as its listener started with it
  ServiceChain chain;    // the agent's services the client came through
  Socket client = NO_SOCKET;
  Socket remote = NO_SOCKET;
  uint16_t noted_port = 0;
  RelaySocket client_side;
  RelaySocket remote_side;
  Direction write;  // client to remote host
  Direction read;   // remote host to client
  // Before the remote host answers: the lookup, then the connects, started
  // one after another and each left to run beside the next.
  std::shared_ptr<Lookup> lookup;
  std::vector<NetAddress> addresses;
  size_t next_address = 0;
  std::vector<std::unique_ptr<Attempt>> attempts;
  int connect_error = 0;
  bool socket_created = false;
  bool given_grace = false;  // a reset came while it looked up or connected
  LoopTimer connect_bound;
  LoopTimer next_attempt;
  bool next_attempt_due = false;
  Direction* first_ended = nullptr;  // the direction whose data ended first
};

namespace {

/// A connect that has not answered within this long has the next address
/// started beside it.
constexpr unsigned ATTEMPT_STAGGER_MS = 250;
/// How long connects under way when a reset comes may still take.
constexpr unsigned RESET_GRACE_MS = 2000;
/// Blocks a loop keeps for its next relays.
constexpr size_t SPARE_BLOCKS = 4;

void set_state(Relay& relay, ServiceState state) {
  relay.service->state = state;
  send_notification(NOTIFY_STATUS_CHANGED);
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

void forget_preparing(Relay& relay) {
  std::vector<Relay*>& preparing = relay.home->preparing;
  auto found = std::find(preparing.begin(), preparing.end(), &relay);
  if (found == preparing.end()) return;
  *found = preparing.back();
  preparing.pop_back();
}

void give_back(Relay& relay, Direction& direction) {
  RelayLoop& home = *relay.home;
  if (direction.block && home.spare_blocks.size() < SPARE_BLOCKS) {
    home.spare_blocks.push_back(std::move(direction.block));
  }
  direction.block.reset();
  if (is_open(direction.pipe)) {
    close_splice_pipe(direction.pipe);
    --home.engine->pipes_open;
  }
  direction.in_pipe = 0;
}

// Closes what the relay holds and frees it.
void free_relay(Relay* relay) {
  EventLoop& loop = relay->home->loop;
  forget_preparing(*relay);
  loop.cancel_timer(relay->connect_bound);
  if (relay->next_attempt_due) loop.cancel_timer(relay->next_attempt);
  if (relay->lookup) relay->lookup->relay = nullptr;
  for (std::unique_ptr<Attempt>& attempt : relay->attempts) {
    loop.stop_watching(attempt->socket, attempt.get());
    close_socket(attempt->socket);
    if (attempt->noted_port != 0) forget_outgoing(attempt->noted_port);
  }
  for (Direction* direction : {&relay->write, &relay->read}) {
    if (direction->pausing) loop.cancel_timer(direction->half_close);
    give_back(*relay, *direction);
  }
  if (relay->remote != NO_SOCKET) {
    loop.stop_watching(relay->remote, &relay->remote_side);
    close_socket(relay->remote);
  }
  if (relay->noted_port != 0) forget_outgoing(relay->noted_port);
  loop.stop_watching(relay->client, &relay->client_side);
  close_socket(relay->client);
  delete relay;
}

// Logs the end of a client's connection, which no longer counts: a reset
// waiting for the count to reach 0 looks again.
void connection_ended(Engine& engine, ServiceRecord& service, const char* name, int result) {
  close_connection(service, name, result);
  if (--connection_count == 0) return_free_memory();
  if (reset_pending) engine.accepting_loop().loop.wake();
}

// A relay that never moved a byte: the client's connection ends here.
void refuse_relay(Relay* relay) {
  ServiceRecord& service = *relay->service;
  Engine& engine = *relay->home->engine;
  char name[NAME_CAPACITY + 1];
  snprintf(name, sizeof name, "%s", relay->config.name);
  free_relay(relay);
  connection_ended(engine, service, name, -1);
}

// Ends a relay whose directions have both ended, or one that failed: a
// failure is passed on to both peers as a reset.
void end_relay(Relay* relay, bool aborted) {
  ServiceRecord& service = *relay->service;
  Engine& engine = *relay->home->engine;
  if (aborted) {
    abort_connection(relay->client);
    abort_connection(relay->remote);
  }
  // The relay is judged by how its own two directions ended. The service's
  // state, which the lamp shows, is shared with every other relay of the
  // service and may hold another relay's news.
  int result = aborted || relay->write.failed || relay->read.failed ? -1 : 0;
  if (result != 0) set_state(*relay, SVC_ERROR);
  char name[NAME_CAPACITY + 1];
  snprintf(name, sizeof name, "%s", relay->config.name);
  running_count -= 2;
  free_relay(relay);
  connection_ended(engine, service, name, result);
}

void fail_send(Relay* relay, Direction& direction, int error) {
  log_eventf("%s error (send) %d", direction.name, error);
  ++relay->service->errors_t;
  direction.failed = true;
  set_state(*relay, SVC_ERROR);
  end_relay(relay, true);
}

void fail_receive(Relay* relay, Direction& direction, int error) {
  if (is_connection_reset(error)) {
    log_eventf("%s Connection Reset (recv)", direction.name);
    set_state(*relay, SVC_READY);
  } else {
    direction.failed = true;
    set_state(*relay, SVC_ERROR);
    log_eventf("%s error (recv) %d", direction.name, error);
    ++relay->service->errors_t;
  }
  end_relay(relay, true);
}

void shut(Relay& relay, Direction& direction) {
  if (direction.pausing) relay.home->loop.cancel_timer(direction.half_close);
  direction.pausing = false;
  direction.shut = true;
  shutdown_sending(direction.to);
  log_eventf("%s - Shutdown", direction.name);
  set_state(relay, SVC_READY);
}

// Both peers have ended their sending: nothing can flow any more, so the
// pauses left are skipped and the relay ends, the half-closes in the order
// the data ended.
void finish(Relay* relay) {
  Direction& first = *relay->first_ended;
  Direction& second = &first == &relay->write ? relay->read : relay->write;
  if (!first.shut) shut(*relay, first);
  if (!second.shut) shut(*relay, second);
  end_relay(relay, false);
}

void half_close_due(void* argument) {
  Direction& direction = *static_cast<Direction*>(argument);
  direction.pausing = false;
  shut(*direction.relay, direction);
}

// The direction's data ended with all of it sent on: its destination is
// half-closed after a pause that gives the peer time to answer, or at once
// when the other direction has ended too.
// Returns false when the relay ended.
bool end_of_data(Relay* relay, Direction& direction) {
  direction.ended = true;
  give_back(*relay, direction);
  if (relay->first_ended == nullptr) {
    relay->first_ended = &direction;
    direction.pausing = true;
    direction.half_close =
        relay->home->loop.call_later(HALF_CLOSE_DELAY_MS, half_close_due, &direction);
    return true;
  }
  finish(relay);
  return false;
}

/// What moving a direction's bytes came to; Gone: the relay ended (and is freed).
enum class Moved { Some, Blocked, Ended, Gone };

// Sends what the direction holds, as far as its destination takes it.
Moved send_held(Relay* relay, Direction& direction) {
  while (direction.in_pipe > 0) {
    long sent = splice_send_some(direction.pipe, direction.to, direction.in_pipe);
    if (sent < 0) break;
    direction.in_pipe -= static_cast<size_t>(sent);
    *direction.bytes += static_cast<uint32_t>(sent);
  }
  while (direction.in_pipe == 0 && direction.sent < direction.held) {
    long sent = send_without_waiting(direction.to, direction.block.get() + direction.sent,
                                     direction.held - direction.sent);
    if (sent < 0) break;
    direction.sent += static_cast<size_t>(sent);
    *direction.bytes += static_cast<uint32_t>(sent);
  }
  if (direction.in_pipe == 0 && direction.sent == direction.held) {
    direction.sent = direction.held = 0;
    return Moved::Some;
  }
  int error = last_socket_error();
  if (is_would_block(error)) return Moved::Blocked;
  fail_send(relay, direction, error);
  return Moved::Gone;
}

// A busy direction without a table moves its bytes through a pipe, where
// one is left to open; it is closed once empty with nothing more to move.
void take_pipe(Relay& relay, Direction& direction) {
  RelayLoop& home = *relay.home;
  if (++home.engine->pipes_open > MAX_PIPES ||
      open_splice_pipe(direction.pipe, RELAY_PIPE_SIZE) < BUSY_BLOCK_SIZE) {
    close_splice_pipe(direction.pipe);
    direction.pipe = SplicePipe{};
    --home.engine->pipes_open;
  }
}

// Receives the direction's next bytes, one block or one pipe's worth, and
// sends them on at once.
Moved receive_next(Relay* relay, Direction& direction) {
  if (direction.busy && direction.table == nullptr && !is_open(direction.pipe)) {
    take_pipe(*relay, direction);
  }
  long received;
  long asked = RELAY_BLOCK_SIZE;
  if (is_open(direction.pipe)) {
    asked = RELAY_PIPE_SIZE;
    received = splice_receive(direction.from, direction.pipe, RELAY_PIPE_SIZE);
    if (received > 0) direction.in_pipe = static_cast<size_t>(received);
  } else {
    if (!direction.block) {
      std::vector<std::unique_ptr<uint8_t[]>>& spare = relay->home->spare_blocks;
      if (spare.empty()) {
        direction.block.reset(new uint8_t[RELAY_BLOCK_SIZE]);
      } else {
        direction.block = std::move(spare.back());
        spare.pop_back();
      }
    }
    received = receive_some(direction.from, direction.block.get(), RELAY_BLOCK_SIZE);
    if (received > 0) {
      direction.held = static_cast<size_t>(received);
      if (direction.table != nullptr) {
        translate(direction.block.get(), direction.held, direction.table);
      }
      direction.busy = received >= BUSY_BLOCK_SIZE;
    }
  }
  if (received > 0) {
    Moved moved = send_held(relay, direction);
    // Less than asked: the source has nothing more now, and the block or
    // pipe, all sent, goes back until it has.
    if (moved == Moved::Some && received < asked) give_back(*relay, direction);
    return moved;
  }
  if (received == 0) return end_of_data(relay, direction) ? Moved::Ended : Moved::Gone;
  int error = last_socket_error();
  if (is_would_block(error)) {
    // Nothing waits: what the direction held goes back to its loop.
    give_back(*relay, direction);
    direction.busy = false;
    return Moved::Blocked;
  }
  fail_receive(relay, direction, error);
  return Moved::Gone;
}

bool holds_bytes(const Direction& direction) {
  return direction.in_pipe > 0 || direction.held > direction.sent;
}

// What the loop waits for on `s`: bytes for the direction it feeds, room
// for the direction that sends to it (failures are always reported).
Readiness interest_in(const Relay& relay, Socket s) {
  Readiness interest = Readiness::None;
  for (const Direction* direction : {&relay.write, &relay.read}) {
    if (direction->from == s && !direction->ended && !holds_bytes(*direction)) {
      interest |= Readiness::Readable;
    }
    if (direction->to == s && holds_bytes(*direction)) interest |= Readiness::Writable;
  }
  return interest;
}

// A socket of the relay failed (a reset, whatever recv and SO_ERROR then
// say): the failure ends the direction that reads from it.
void socket_failed(Relay* relay, Socket s) {
  Direction& direction = s == relay->client ? relay->write : relay->read;
  int error = pending_socket_error(s);
  if (error == 0) error = CONNECTION_RESET_ERROR;
  fail_receive(relay, direction, error);
}

// Serves one readiness of one of the relay's sockets: each direction it
// concerns moves at most one block or pipe's worth, and the socket is
// re-armed for what its directions wait for next.
void relay_socket_ready(SocketHandler* handler, Readiness events) {
  Relay* relay = static_cast<RelaySocket*>(handler)->relay;
  const Socket s = handler == &relay->client_side ? relay->client : relay->remote;
  if (has(events, Readiness::Failed)) {
    // What the peer sent before it failed is passed on first, as far as the
    // other peer takes it at once: a reset must not swallow a last answer
    // (Windows reports the bytes and the reset in one readiness).
    Direction& feeds = s == relay->client ? relay->write : relay->read;
    if (!feeds.ended && !holds_bytes(feeds) && receive_next(relay, feeds) == Moved::Gone) return;
    socket_failed(relay, s);
    return;
  }
  const Socket other = s == relay->client ? relay->remote : relay->client;
  const Readiness other_before = interest_in(*relay, other);
  Direction& feeds = s == relay->client ? relay->write : relay->read;
  Direction& drains = s == relay->client ? relay->read : relay->write;
  if (has(events, Readiness::Writable) && holds_bytes(drains)) {
    Moved moved = send_held(relay, drains);
    if (moved == Moved::Gone) return;
    // Room again: the next bytes are taken at once, and what waits for
    // them goes back when there are none.
    if (moved == Moved::Some && !drains.ended && receive_next(relay, drains) == Moved::Gone) {
      return;
    }
  }
  if (has(events, Readiness::Readable) && !feeds.ended && !holds_bytes(feeds)) {
    if (receive_next(relay, feeds) == Moved::Gone) return;
  }
  EventLoop& loop = relay->home->loop;
  loop.rearm(s, interest_in(*relay, s), handler);
  const Readiness other_now = interest_in(*relay, other);
  if (other_now != other_before) {
    loop.rearm(other, other_now, other == relay->client ? static_cast<SocketHandler*>(
                                                              &relay->client_side)
                                                        : &relay->remote_side);
  }
}

void fill_direction(Relay& relay, Direction& direction, std::atomic<uint32_t>& bytes, Socket from,
                    Socket to, const char* name, const uint8_t* table) {
  direction.relay = &relay;
  direction.from = from;
  direction.to = to;
  direction.bytes = &bytes;
  direction.table = table;
  snprintf(direction.name, sizeof direction.name, "%s %s", relay.config.name, name);
}

// The remote host answered on `winner`: the other connects are closed, and
// both directions wait for their first bytes.
void start_directions(Relay* relay, Attempt& winner) {
  EventLoop& loop = relay->home->loop;
  forget_preparing(*relay);
  loop.cancel_timer(relay->connect_bound);
  if (relay->next_attempt_due) loop.cancel_timer(relay->next_attempt);
  relay->next_attempt_due = false;
  relay->remote = winner.socket;
  relay->noted_port = winner.noted_port;
  winner.socket = NO_SOCKET;
  winner.noted_port = 0;
  for (std::unique_ptr<Attempt>& attempt : relay->attempts) {
    if (attempt->socket == NO_SOCKET) continue;
    loop.stop_watching(attempt->socket, attempt.get());
    close_socket(attempt->socket);
    if (attempt->noted_port != 0) forget_outgoing(attempt->noted_port);
  }
  loop.stop_watching(relay->remote, &winner);
  relay->attempts.clear();
  ServiceRecord& service = *relay->service;
  Direction& write = relay->write;
  Direction& read = relay->read;
  fill_direction(*relay, write, service.bytes_written, relay->client, relay->remote, "Write",
                 write.table);
  fill_direction(*relay, read, service.bytes_read, relay->remote, relay->client, "Read",
                 read.table);
  set_keepalive(relay->client);
  set_keepalive(relay->remote);
  set_state(*relay, SVC_ACTIVE);
  running_count += 2;
  int error = loop.watch(relay->client, Readiness::Readable, &relay->client_side);
  if (error == 0) error = loop.watch(relay->remote, Readiness::Readable, &relay->remote_side);
  if (error != 0) fail_receive(relay, write, error);
}

void fail_connect(Relay* relay, int error) {
  log_eventf("Can't connect to host: %s %d", relay->config.host, error);
  refuse_relay(relay);
}

void connect_timed_out(void* relay) { fail_connect(static_cast<Relay*>(relay), TIMED_OUT_ERROR); }

void connect_interrupted(void* relay) {
  fail_connect(static_cast<Relay*>(relay), INTERRUPTED_ERROR);
}

void start_next_attempt(Relay* relay);

void next_attempt_due(void* argument) {
  Relay* relay = static_cast<Relay*>(argument);
  relay->next_attempt_due = false;
  start_next_attempt(relay);
}

// No connect is under way and no address is left: the host cannot be reached.
void give_up(Relay* relay) {
  if (relay->socket_created) {
    fail_connect(relay, relay->connect_error);
  } else {
    log_eventf("Can't create socket: %d", relay->connect_error);
    refuse_relay(relay);
  }
}

void drop_attempt(Relay& relay, Attempt& attempt) {
  relay.home->loop.stop_watching(attempt.socket, &attempt);
  close_socket(attempt.socket);
  if (attempt.noted_port != 0) forget_outgoing(attempt.noted_port);
  relay.attempts.erase(std::find_if(relay.attempts.begin(), relay.attempts.end(),
                                    [&attempt](const std::unique_ptr<Attempt>& held) {
                                      return held.get() == &attempt;
                                    }));
}

void attempt_ready(SocketHandler* handler, Readiness events) {
  Attempt& attempt = *static_cast<Attempt*>(handler);
  Relay* relay = attempt.relay;
  int error = pending_socket_error(attempt.socket);
  // A failure is a failure whatever the socket then says of it.
  if (error == 0 && has(events, Readiness::Failed)) error = CONNECTION_RESET_ERROR;
  if (error == 0) {
    start_directions(relay, attempt);
    return;
  }
  relay->connect_error = error;
  drop_attempt(*relay, attempt);
  // A refused or failed address moves on to the next at once.
  if (relay->next_attempt_due) relay->home->loop.cancel_timer(relay->next_attempt);
  relay->next_attempt_due = false;
  start_next_attempt(relay);
}

// Starts connecting to the host's next address that a connect can start on,
// with the one after it due if this one has not answered in a while; gives
// up when none is left and none is under way. A connection to another of the
// agent's services is noted as continuing the client's chain.
void start_next_attempt(Relay* relay) {
  EventLoop& loop = relay->home->loop;
  while (relay->next_address < relay->addresses.size()) {
    const NetAddress& address = relay->addresses[relay->next_address++];
    char service[NAME_CAPACITY + 1];
    const bool own = own_listener_at(address, relay->config.remote_port, service);
    std::unique_ptr<Attempt> attempt(new Attempt);
    attempt->ready = attempt_ready;
    attempt->relay = relay;
    bool created = false;
    bool in_progress = false;
    int error = 0;
    attempt->socket = begin_connect(address, relay->config.remote_port,
                                    own ? &relay->chain : nullptr, &attempt->noted_port,
                                    &in_progress, &error, &created);
    if (attempt->socket == NO_SOCKET) {
      // A family this machine lacks says nothing of the host: the error that
      // counts is that of a connect that could start.
      if (created || !relay->socket_created) relay->connect_error = error;
      relay->socket_created = relay->socket_created || created;
      continue;
    }
    relay->socket_created = true;
    Attempt& started = *attempt;
    relay->attempts.push_back(std::move(attempt));
    error = loop.watch(started.socket, Readiness::Writable, &started);
    if (error != 0) {
      relay->connect_error = error;
      drop_attempt(*relay, started);
      continue;
    }
    if (!in_progress) {
      start_directions(relay, started);
      return;
    }
    if (relay->next_address < relay->addresses.size()) {
      relay->next_attempt = loop.call_later(ATTEMPT_STAGGER_MS, next_attempt_due, relay);
      relay->next_attempt_due = true;
    }
    return;
  }
  if (relay->attempts.empty()) give_up(relay);
}

// The remote host's addresses are known: the connects begin, all within one bound.
void connect_relay(Relay* relay, Lookup& lookup) {
  relay->lookup.reset();
  if (lookup.tables_failed) {
    ++relay->service->errors_o;
    refuse_relay(relay);
    return;
  }
  if (lookup.addresses.empty()) {
    refuse_relay(relay);
    return;
  }
  const ServiceConfig& config = relay->config;
  // A service may forward to another of this agent's services; a connection
  // that would come back to a service it has passed through is a loop, which
  // would relay each client to itself again until nothing is left.
  for (const NetAddress& address : lookup.addresses) {
    char service[NAME_CAPACITY + 1];
    if (!own_listener_at(address, config.remote_port, service)) continue;
    if (!chain_contains(relay->chain, config.remote_port, service)) continue;
    char chain[MESSAGE_SIZE];
    describe_chain(relay->chain, config.remote_port, chain, sizeof chain);
    log_eventf("Can't connect to host: %s %u loops back to this agent (%s)", config.host,
               config.remote_port, chain);
    refuse_relay(relay);
    return;
  }
  relay->write.table = lookup.tables.write_table;
  relay->read.table = lookup.tables.read_table;
  relay->addresses = std::move(lookup.addresses);
  EventLoop& loop = relay->home->loop;
  // Under a reset, a connect has the grace that those under way were given;
  // one whose lookup was given it keeps what is left of it.
  if (!relay->given_grace) {
    relay->given_grace = reset_pending;
    relay->connect_bound = relay->given_grace
                               ? loop.call_later(RESET_GRACE_MS, connect_interrupted, relay)
                               : loop.call_later(CONNECT_TIMEOUT_MS, connect_timed_out, relay);
  }
  start_next_attempt(relay);
}

// What may block before a relay's connect: its table files and the remote
// host's name. Runs on the pool, or on the loop when nothing of it can block.
void look_up(Lookup& lookup, const ServiceConfig& config) {
  if (resolve_tables(config.table_name, lookup.tables) != 0) {
    lookup.tables_failed = true;
    return;
  }
  log_eventf("%s Connected", config.name);
  char message[MESSAGE_SIZE];
  lookup.addresses = look_up_host(config.host, message);
}

bool may_block(const ServiceConfig& config) {
  unsigned char first = static_cast<unsigned char>(config.host[0]);
  const bool table_file = strcmp(config.table_name, NO_TRANSLATION) != 0 &&
                          strcmp(config.table_name, BUILT_IN_TABLES) != 0;
  return table_file || (first < 128 && isalpha(first));
}

// A pending reset ends the relays of this loop that are still looking their
// host up or connecting once their grace has passed.
void answer_reset(void* argument) {
  if (!reset_pending) return;
  RelayLoop& home = *static_cast<RelayLoop*>(argument);
  for (Relay* relay : home.preparing) {
    if (relay->given_grace) continue;
    relay->given_grace = true;
    if (!relay->lookup) {
      if (relay->connect_bound.due_ms <= tick_count_ms() + RESET_GRACE_MS) continue;
      home.loop.cancel_timer(relay->connect_bound);
    }
    relay->connect_bound = home.loop.call_later(RESET_GRACE_MS, connect_interrupted, relay);
  }
}

void begin_relay(Relay* relay) {
  RelayLoop& home = *relay->home;
  home.loop.check_after_each_wake(answer_reset, &home);
  home.preparing.push_back(relay);
  if (!may_block(relay->config)) {
    Lookup lookup;
    look_up(lookup, relay->config);
    connect_relay(relay, lookup);
    return;
  }
  std::shared_ptr<Lookup> lookup = std::make_shared<Lookup>();
  lookup->relay = relay;
  relay->lookup = lookup;
  const ServiceConfig config = relay->config;
  RelayLoop* where = &home;
  ++home.engine->lookups_under_way;
  home.engine->lookups().run(relay->service, [lookup, config, where] {
    look_up(*lookup, config);
    --where->engine->lookups_under_way;
    where->loop.post([lookup] {
      // A relay that gave up meanwhile (a reset) has gone: its result too.
      if (lookup->relay != nullptr) connect_relay(lookup->relay, *lookup);
    });
  });
}

}  // namespace

void relay_client(RelayLoop& home, ServiceRecord& service, const ServiceConfig& config,
                  Socket client, const ServiceChain& chain) {
  Relay* relay = new (std::nothrow) Relay();
  if (relay == nullptr) {
    log_event("Not Enough Memory for temp. structure creation...");
    close_socket(client);
    connection_ended(*home.engine, service, config.name, -1);
    return;
  }
  relay->home = &home;
  relay->service = &service;
  relay->config = config;
  relay->chain = chain;
  relay->client = client;
  relay->client_side.ready = relay_socket_ready;
  relay->client_side.relay = relay;
  relay->remote_side.ready = relay_socket_ready;
  relay->remote_side.relay = relay;
  home.loop.post([relay] { begin_relay(relay); });
}

}  // namespace kiv
