// The life of one relay, from its accepted client to its last close: the
// connect to the remote host, the two directions that move its bytes, their
// half-closes, an abort passed on as an abort, and the relay's end.
//
// A relay lives on the event loop and the worker pool. The loop waits for its
// connect and for each direction's next bytes or room to send; a worker moves
// the bytes and hands the direction back to the loop when a socket would
// block. Both sockets stay watched for the relay's whole life, so a failure
// of a socket that nobody is reading is seen all the same.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "core/engine_counters.h"
#include "core/event_log.h"
#include "core/event_loop.h"
#include "core/window_thread.h"
#include "core/lookup_pool.h"
#include "forward/conversion_tables.h"
#include "forward/forwarding.h"
#include "forward/service_chain.h"
#include "forward/socket_helpers.h"
#include "forward/translate.h"
#include "platform/no_destructor.h"
#include "platform/splice.h"

namespace kiv {

namespace {

struct Relay;

/// Where a direction is: on a worker, waiting in the loop for bytes, for
/// room to send or for its half-close, or ended.
enum class Place : uint8_t { Worker, Readable, Writable, HalfClose, Ended };

/// Direction is one way of a relay: what it receives from, sends to,
/// translates with and counts in, and the bytes it has yet to send.
struct Direction {
  Relay* relay;
  Socket from;
  Socket to;
  std::atomic<uint32_t>* bytes;  // the service's bytes_written (Write) or bytes_read (Read)
  const uint8_t* table;          // each byte b becomes table[b], or none
  char name[16];                 // "<service> Write" or "<service> Read"
  uint16_t outcome = SVC_READY;  // how it ended: SVC_READY or SVC_ERROR

  // Guarded by the relay's guard.
  Place place = Place::Worker;
  bool from_failed = false;  // woken while waiting for room: its source failed
  LoopTimer half_close;

  // The thread's that runs the direction, or kept while it waits for room.
  SplicePipe pipe;                  // lent while its bytes flow without a table
  size_t in_pipe = 0;               // bytes in the pipe not sent yet
  const uint8_t* unsent = nullptr;  // bytes received and not sent yet
  size_t unsent_size = 0;
  std::unique_ptr<uint8_t[]> kept;  // holds them while the direction waits
};

/// One socket of a relay as the event loop sees it.
struct RelaySocket : SocketHandler {
  Relay* relay;
  Socket socket = NO_SOCKET;
};

/// Relay is one client relayed to its remote host.
struct Relay {
  ServiceRecord* service;
  ServiceConfig config;  // the row as its listener started with it
  ServiceChain chain;    // the agent's services the client came through
  RelaySocket client_side;
  RelaySocket remote_side;
  uint16_t noted_port = 0;  // its connection to another service of the agent
  // The remote host's addresses, tried in order until one answers, and
  // how the last one tried failed.
  std::vector<NetAddress> addresses;
  size_t next_address = 0;
  int connect_error = 0;
  bool socket_created = false;  // for one of them
  Direction write;
  Direction read;
  std::atomic<bool> aborted{false};
  std::mutex guard;
  int directions_running = 2;  // guarded by guard
  // The event loop's alone.
  bool connecting = false;
  LoopTimer connect_bound;
};

void end_connect(Relay& relay);

Socket client_of(const Relay& relay) { return relay.client_side.socket; }
Socket remote_of(const Relay& relay) { return relay.remote_side.socket; }

// Pipes lent to directions now.
std::atomic<int> pipes_lent{0};

// The threads that move the relays' bytes and prepare their connects: one pool
// for the whole process, as the relays themselves are.
LookupPool& worker_pool() {
  static NoDestructor<LookupPool> pool(LOOKUP_THREADS, LOOKUP_THREADS_PER_SERVICE,
                                       LOOKUP_IDLE_MS);
  return *pool;
}

// Work queued on the pool and not started yet, and work running on it.
std::atomic<int> queued_work{0}, running_work{0};

// Has `work(argument)` run on the pool after `owner`'s work queued before it.
void run_on_worker(const void* owner, void (*work)(void*), void* argument) {
  ++queued_work;
  worker_pool().run(owner, [work, argument] {
    --queued_work;
    ++running_work;
    work(argument);
    --running_work;
  });
}

// Whether work waits for a thread while every thread is busy: a busy
// direction then lets it go first.
bool work_is_waiting() { return running_work >= LOOKUP_THREADS && queued_work > 0; }

// The block a worker receives into: its own, for as long as it runs.
uint8_t* worker_block() {
  thread_local std::unique_ptr<uint8_t[]> block(new uint8_t[PUMP_BLOCK_SIZE]);
  return block.get();
}

void free_relay(void* relay) { delete static_cast<Relay*>(relay); }

void set_state(Direction& direction, ServiceState state) {
  direction.outcome = state;
  direction.relay->service->state = state;
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

void close_sockets(Relay& relay) {
  for (RelaySocket* side : {&relay.remote_side, &relay.client_side}) {
    if (side->socket == NO_SOCKET) continue;
    stop_watching(side->socket);
    close_socket(side->socket);
  }
  if (relay.noted_port != 0) forget_outgoing(relay.noted_port);
}

// A relay that never moved a byte: the client's connection ends here.
void refuse_relay(Relay* relay) {
  close_sockets(*relay);
  --connection_count;
  close_connection(*relay->service, relay->config.name, -1);
  call_on_loop(free_relay, relay);
}

// Closes both connections of a relay whose directions have both ended.
void end_relay(Relay& relay) {
  ServiceRecord& service = *relay.service;
  // The relay is judged by how its own two directions ended. The service's
  // state, which the lamp shows, is shared with every other relay of the
  // service and may hold another relay's news, or this relay's later good
  // end hiding an earlier failure.
  int result = 0;
  if (relay.aborted || relay.write.outcome != SVC_READY || relay.read.outcome != SVC_READY) {
    service.state = SVC_ERROR;
    send_notification(NOTIFY_STATUS_CHANGED);
    result = -1;
  }
  close_sockets(relay);
  --connection_count;
  close_connection(service, relay.config.name, result);
  // A readiness taken by the loop in this round may still name the relay.
  call_on_loop(free_relay, &relay);
}

void give_back_pipe(Direction& direction) {
  if (!is_open(direction.pipe)) return;
  close_splice_pipe(direction.pipe);
  --pipes_lent;
}

void drop_unsent(Direction& direction) {
  give_back_pipe(direction);
  direction.in_pipe = 0;
  direction.unsent_size = 0;
  direction.kept.reset();
}

void end_direction(Direction& direction) {
  drop_unsent(direction);
  // Lowered before the relay ends: once its connection closes, no direction
  // of it is still counted, so the last part to close for a reset always
  // finds the count at 0.
  --running_count;
  Relay& relay = *direction.relay;
  bool last;
  {
    std::lock_guard<std::mutex> lock(relay.guard);
    direction.place = Place::Ended;
    last = --relay.directions_running == 0;
  }
  if (last) end_relay(relay);
}

// A direction that broke (a reset or a failed transfer) is passed on as it
// is: both connections of the relay are reset when they close, and the other
// direction ends at once without claiming an orderly end: here when it waits
// in the loop, after its current call when it runs on a worker.
void abort_relay(Direction& direction) {
  Relay& relay = *direction.relay;
  relay.aborted = true;
  abort_connection(client_of(relay));
  abort_connection(remote_of(relay));
  Direction& other = &direction == &relay.write ? relay.read : relay.write;
  bool waiting;
  {
    std::lock_guard<std::mutex> lock(relay.guard);
    waiting = other.place == Place::Readable || other.place == Place::Writable ||
              (other.place == Place::HalfClose && cancel_timer(other.half_close));
    if (waiting) other.place = Place::Worker;
  }
  if (waiting) end_direction(other);
}

void fail_send(Direction& direction, int error) {
  log_eventf("%s error (send) %d", direction.name, error);
  ++direction.relay->service->errors_t;
  set_state(direction, SVC_ERROR);
  abort_relay(direction);
  end_direction(direction);
}

void fail_receive(Direction& direction, int error) {
  abort_relay(direction);
  if (is_connection_reset(error)) {
    log_eventf("%s Connection Reset (recv)", direction.name);
    set_state(direction, SVC_READY);
  } else {
    set_state(direction, SVC_ERROR);
    log_eventf("%s error (recv) %d", direction.name, error);
    ++direction.relay->service->errors_t;
  }
  end_direction(direction);
}

// What the loop waits for on `s` for both directions of `relay`. Called
// with the relay's guard held.
Readiness interest_in(const Relay& relay, Socket s) {
  Readiness interest = Readiness::None;
  for (const Direction* direction : {&relay.write, &relay.read}) {
    if (direction->place == Place::Readable && direction->from == s) interest |= Readiness::Readable;
    if (direction->place == Place::Writable && direction->to == s) interest |= Readiness::Writable;
  }
  return interest;
}

RelaySocket& side_of(Relay& relay, Socket s) {
  return s == client_of(relay) ? relay.client_side : relay.remote_side;
}

// Hands the direction to the loop until its source is readable or its
// destination has room. A waiting direction holds no pipe.
void wait_in_loop(Direction& direction, Place place) {
  Relay& relay = *direction.relay;
  if (place == Place::Readable) give_back_pipe(direction);
  const uint8_t* block = worker_block();
  if (direction.unsent_size > 0 && direction.unsent >= block &&
      direction.unsent < block + PUMP_BLOCK_SIZE) {
    // The worker's block serves the next direction: the rest is kept aside.
    direction.kept.reset(new uint8_t[direction.unsent_size]);
    std::copy(direction.unsent, direction.unsent + direction.unsent_size, direction.kept.get());
    direction.unsent = direction.kept.get();
  }
  std::unique_lock<std::mutex> lock(relay.guard);
  if (relay.aborted) {
    lock.unlock();
    end_direction(direction);
    return;
  }
  direction.place = place;
  Socket s = place == Place::Readable ? direction.from : direction.to;
  rearm_socket(s, interest_in(relay, s), &side_of(relay, s));
}

// Half-closes a direction whose data has ended, unless the other direction
// broke meanwhile: an orderly end here would tell a peer that everything
// had arrived.
void half_close(void* argument) {
  Direction& direction = *static_cast<Direction*>(argument);
  Relay& relay = *direction.relay;
  bool aborted;
  {
    std::lock_guard<std::mutex> lock(relay.guard);
    aborted = relay.aborted;
    direction.place = Place::Worker;
  }
  if (!aborted) {
    shutdown_sending(direction.to);
    log_eventf("%s - Shutdown", direction.name);
    set_state(direction, SVC_READY);
  }
  end_direction(direction);
}

void wait_for_half_close(Direction& direction) {
  Relay& relay = *direction.relay;
  std::unique_lock<std::mutex> lock(relay.guard);
  if (relay.aborted) {
    lock.unlock();
    end_direction(direction);
    return;
  }
  direction.place = Place::HalfClose;
  direction.half_close = call_later(HALF_CLOSE_DELAY_MS, half_close, &direction);
}

// Sends what the direction holds, as far as its destination takes it: 0
// when all is sent, -1 when a send failed or would block.
int send_unsent(Direction& direction) {
  while (direction.in_pipe > 0) {
    long sent = splice_send_some(direction.pipe, direction.to, direction.in_pipe);
    if (sent < 0) return -1;
    direction.in_pipe -= static_cast<size_t>(sent);
    *direction.bytes += static_cast<uint32_t>(sent);
  }
  while (direction.unsent_size > 0) {
    long sent = send_without_waiting(direction.to, direction.unsent, direction.unsent_size);
    if (sent < 0) return -1;
    direction.unsent += sent;
    direction.unsent_size -= static_cast<size_t>(sent);
    *direction.bytes += static_cast<uint32_t>(sent);
  }
  direction.kept.reset();
  return 0;
}

// A busy direction without a table moves its next bytes through a pipe,
// where one is left to lend and holds enough to keep them busy.
void lend_pipe(Direction& direction) {
  if (direction.table != nullptr || is_open(direction.pipe)) return;
  if (++pipes_lent > MAX_PIPES ||
      open_splice_pipe(direction.pipe, PUMP_PIPE_SIZE) < BUSY_BLOCK_SIZE) {
    close_splice_pipe(direction.pipe);
    --pipes_lent;
  }
}

// Receives the direction's next bytes: the count, 0 at the end of the data,
// -1 on failure (would-block included).
long receive_next(Direction& direction) {
  if (is_open(direction.pipe)) {
    long received = splice_receive(direction.from, direction.pipe, PUMP_PIPE_SIZE);
    if (received > 0) direction.in_pipe = static_cast<size_t>(received);
    return received;
  }
  uint8_t* block = worker_block();
  long received = receive_some(direction.from, block, PUMP_BLOCK_SIZE);
  if (received <= 0) return received;
  const size_t size = static_cast<size_t>(received);
  if (direction.table != nullptr) translate(block, size, direction.table);
  direction.unsent = block;
  direction.unsent_size = size;
  if (received >= BUSY_BLOCK_SIZE) lend_pipe(direction);
  return received;
}

// Worker work: moves a direction's bytes until a socket would block, its
// data ends, it fails, or the relay was aborted.
void move_bytes(void* argument) {
  Direction& direction = *static_cast<Direction*>(argument);
  Relay& relay = *direction.relay;
  if (direction.from_failed) {
    direction.from_failed = false;
    int error = pending_socket_error(direction.from);
    if (error != 0) {
      drop_unsent(direction);
      fail_receive(direction, error);
      return;
    }
  }
  bool moved = false;  // on this turn: a turn moves bytes before it makes way
  for (;;) {
    if (relay.aborted) {
      end_direction(direction);
      return;
    }
    if (send_unsent(direction) != 0) {
      int error = last_socket_error();
      if (is_would_block(error)) {
        wait_in_loop(direction, Place::Writable);
      } else {
        fail_send(direction, error);
      }
      return;
    }
    if (moved && work_is_waiting()) {
      // Other relays' work waits for a worker: this one goes after it.
      give_back_pipe(direction);
      run_on_worker(&direction, move_bytes, &direction);
      return;
    }
    long received = receive_next(direction);
    moved = received > 0;
    if (moved) continue;
    give_back_pipe(direction);
    if (received == 0) {
      wait_for_half_close(direction);
      return;
    }
    int error = last_socket_error();
    if (is_would_block(error)) {
      wait_in_loop(direction, Place::Readable);
    } else {
      fail_receive(direction, error);
    }
    return;
  }
}

void relay_socket_ready(SocketHandler* handler, Readiness events) {
  const Socket socket = static_cast<RelaySocket*>(handler)->socket;
  Relay& relay = *static_cast<RelaySocket*>(handler)->relay;
  if (relay.connecting) {
    end_connect(relay);
    return;
  }
  Direction* ready[2];
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(relay.guard);
    for (Direction* direction : {&relay.write, &relay.read}) {
      bool go = false;
      if (direction->place == Place::Readable && direction->from == socket) {
        go = has(events, Readiness::Readable | Readiness::Failed);
      } else if (direction->place == Place::Writable && direction->to == socket) {
        go = has(events, Readiness::Writable | Readiness::Failed);
      } else if (direction->place == Place::Writable && direction->from == socket) {
        // Its source failed while it waited for room (a peer reset it):
        // nobody else reads that socket, so the direction learns it now.
        go = direction->from_failed = has(events, Readiness::Failed);
      }
      if (!go) continue;
      direction->place = Place::Worker;
      ready[count++] = direction;
    }
  }
  for (int i = 0; i < count; ++i) run_on_worker(ready[i], move_bytes, ready[i]);
}

void fill_direction(Direction& direction, Relay& relay, std::atomic<uint32_t>& bytes,
                    Socket from, Socket to, const char* name, const uint8_t* table) {
  direction.relay = &relay;
  direction.from = from;
  direction.to = to;
  direction.bytes = &bytes;
  direction.table = table;
  snprintf(direction.name, sizeof direction.name, "%s %s", relay.config.name, name);
}

// The remote host answered: both directions wait for their first bytes in
// the loop, holding no thread.
void start_directions(Relay& relay) {
  relay.connecting = false;
  relay.service->state = SVC_ACTIVE;
  send_notification(NOTIFY_STATUS_CHANGED);
  running_count += 2;
  std::lock_guard<std::mutex> lock(relay.guard);
  relay.write.place = Place::Readable;
  relay.read.place = Place::Readable;
  watch_socket(client_of(relay), Readiness::Readable, &relay.client_side);
  rearm_socket(remote_of(relay), Readiness::Readable, &relay.remote_side);
}

// The connects in progress; the event loop's alone.
std::vector<Relay*>& connecting_relays() {
  static std::vector<Relay*>* relays = new std::vector<Relay*>;
  return *relays;
}

// Begins connecting to the remote host's next address that a connect can
// start on; NO_SOCKET when none is left. A connection to another of the
// agent's services is noted as continuing the client's chain.
Socket connect_next(Relay& relay, bool* in_progress) {
  while (relay.next_address < relay.addresses.size()) {
    const NetAddress& address = relay.addresses[relay.next_address++];
    const bool own = is_own_listener(address, relay.config.remote_port);
    bool created = false;
    int error = 0;
    Socket remote = begin_connect(address, relay.config.remote_port, own ? &relay.chain : nullptr,
                                  &relay.noted_port, in_progress, &error, &created);
    if (remote != NO_SOCKET) return remote;
    if (own) relay.noted_port = 0;
    // A family this machine lacks says nothing of the host: the error that
    // counts is that of a connect that could start.
    if (created || !relay.socket_created) relay.connect_error = error;
    relay.socket_created = relay.socket_created || created;
  }
  return NO_SOCKET;
}

// The remote socket of a relay whose directions are still to start.
void set_remote(Relay& relay, Socket remote) {
  relay.remote_side.socket = remote;
  relay.write.to = remote;
  relay.read.from = remote;
}

void fail_connect(Relay& relay, int error) {
  relay.connecting = false;
  std::vector<Relay*>& connecting = connecting_relays();
  for (Relay*& entry : connecting) {
    if (entry != &relay) continue;
    entry = connecting.back();
    connecting.pop_back();
    break;
  }
  char message[MESSAGE_SIZE];
  log_message(message, "Can't connect to host: %s %d", relay.config.host, error);
  refuse_relay(&relay);
}

void connect_timed_out(void* relay) {
  fail_connect(*static_cast<Relay*>(relay), TIMED_OUT_ERROR);
}

// A pending reset ends every connect in progress at once.
void give_up_connects() {
  if (!reset_pending) return;
  std::vector<Relay*> connecting = connecting_relays();
  for (Relay* relay : connecting) {
    cancel_timer(relay->connect_bound);
    fail_connect(*relay, INTERRUPTED_ERROR);
  }
}

void wait_for_connect(void* argument) {
  Relay& relay = *static_cast<Relay*>(argument);
  if (reset_pending) {
    fail_connect(relay, INTERRUPTED_ERROR);
    return;
  }
  check_after_each_wake(give_up_connects);
  relay.connecting = true;
  connecting_relays().push_back(&relay);
  relay.connect_bound = call_later(CONNECT_TIMEOUT_MS, connect_timed_out, &relay);
  int error = watch_socket(remote_of(relay), Readiness::Writable, &relay.remote_side);
  if (error != 0) {
    cancel_timer(relay.connect_bound);
    fail_connect(relay, error);
  }
}

void connected_at_once(void* argument) {
  Relay& relay = *static_cast<Relay*>(argument);
  watch_socket(remote_of(relay), Readiness::None, &relay.remote_side);
  start_directions(relay);
}

// Worker work: what may block before a relay's connect (its table files and
// the remote host's name), then the connect's start.
void prepare_relay(void* argument) {
  Relay* relay = static_cast<Relay*>(argument);
  ServiceRecord& service = *relay->service;
  const ServiceConfig& config = relay->config;
  ResolvedTables tables;
  if (resolve_tables(config.table_name, tables) != 0) {
    ++service.errors_o;
    refuse_relay(relay);
    return;
  }
  log_eventf("%s Connected", config.name);
  char message[MESSAGE_SIZE];
  relay->addresses = look_up_host(config.host, message);
  if (relay->addresses.empty()) {
    refuse_relay(relay);
    return;
  }
  // A service may forward to another of this agent's services; a connection
  // that would come back to a service it has passed through is a loop, which
  // would relay each client to itself again until nothing is left.
  for (const NetAddress& address : relay->addresses) {
    if (!is_own_listener(address, config.remote_port)) continue;
    if (!chain_contains(relay->chain, config.remote_port)) continue;
    char chain[MESSAGE_SIZE];
    describe_chain(relay->chain, config.remote_port, chain, sizeof chain);
    log_message(message, "Can't connect to host: %s %u loops back to this agent (%s)",
                config.host, config.remote_port, chain);
    refuse_relay(relay);
    return;
  }
  bool in_progress = false;
  Socket remote = connect_next(*relay, &in_progress);
  if (remote == NO_SOCKET) {
    if (relay->socket_created) {
      log_message(message, "Can't connect to host: %s %d", config.host, relay->connect_error);
    } else {
      log_message(message, "Can't create socket: %d", relay->connect_error);
    }
    refuse_relay(relay);
    return;
  }
  relay->remote_side.socket = remote;
  fill_direction(relay->write, *relay, service.bytes_written, client_of(*relay), remote, "Write",
                 tables.write_table);
  fill_direction(relay->read, *relay, service.bytes_read, remote, client_of(*relay), "Read",
                 tables.read_table);
  call_on_loop(in_progress ? wait_for_connect : connected_at_once, relay);
}

void end_connect(Relay& relay) {
  int error = pending_socket_error(remote_of(relay));
  if (error != 0) {
    // The next address is tried within the bound the first one started.
    stop_watching(remote_of(relay));
    close_socket(remote_of(relay));
    if (relay.noted_port != 0) forget_outgoing(relay.noted_port);
    relay.noted_port = 0;
    relay.connect_error = error;
    bool in_progress = false;
    Socket remote = reset_pending ? NO_SOCKET : connect_next(relay, &in_progress);
    set_remote(relay, remote);
    if (remote == NO_SOCKET) {
      cancel_timer(relay.connect_bound);
      fail_connect(relay, relay.connect_error);
      return;
    }
    error = watch_socket(remote, in_progress ? Readiness::Writable : Readiness::None, &relay.remote_side);
    if (error != 0) {
      cancel_timer(relay.connect_bound);
      fail_connect(relay, error);
      return;
    }
    if (in_progress) return;
  }
  cancel_timer(relay.connect_bound);
  std::vector<Relay*>& connecting = connecting_relays();
  connecting.erase(std::find(connecting.begin(), connecting.end(), &relay));
  start_directions(relay);
}

}  // namespace

void relay_client(ServiceRecord& service, const ServiceConfig& config, Socket client,
                  const ServiceChain& chain) {
  Relay* relay = new (std::nothrow) Relay();
  if (relay == nullptr) {
    char message[MESSAGE_SIZE];
    log_message(message, "Not Enough Memory for temp. structure creation...");
    close_socket(client);
    --connection_count;
    close_connection(service, config.name, -1);
    return;
  }
  relay->service = &service;
  relay->config = config;
  relay->chain = chain;
  for (RelaySocket* side : {&relay->client_side, &relay->remote_side}) {
    side->ready = relay_socket_ready;
    side->relay = relay;
  }
  relay->client_side.socket = client;
  run_on_worker(relay, prepare_relay, relay);
}

}  // namespace kiv
