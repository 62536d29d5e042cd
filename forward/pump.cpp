#include "core/event_log.h"
#include "core/lifecycle.h"
#include "core/window_thread.h"
#include "forward/block_pool.h"
#include "forward/delayed_calls.h"
#include "forward/forwarding.h"
#include "forward/translate.h"
#include "platform/clock.h"
#include "platform/socket_watcher.h"
#include "platform/splice.h"
#include "platform/thread.h"

namespace kiv {

namespace {

// How long a pump waits before it asks again for a block that no memory was left for.
constexpr unsigned NO_BLOCK_WAIT_MS = 1000;
// A waiting direction's wait for bytes, renewed until they come.
constexpr int IDLE_WAIT_MS = 60000;

void set_state(PumpRecord& record, ServiceState state) {
  record.outcome = state;
  *record.state = state;
  send_notification(NOTIFY_STATUS_CHANGED);
}

// A direction that broke (a reset or a failed transfer) is passed on as it
// is: both connections of the relay are reset when it closes them, and the
// other pump wakes and ends without claiming an orderly end.
void abort_relay(PumpRecord& record) {
  *record.aborted = true;
  abort_connection(record.from_socket);
  abort_connection(record.to_socket);
}

// Carrier is what a direction moves its bytes with while they flow: a
// borrowed block, or, without a table, a pipe inside the system that spares
// the copy through the process. A waiting direction holds neither.
struct Carrier {
  uint8_t* block = nullptr;
  SplicePipe pipe;

  ~Carrier() { give_back(); }

  bool held() const { return block != nullptr || is_open(pipe); }
  void take() {
    while ((block = borrow_block()) == nullptr) sleep_ms(NO_BLOCK_WAIT_MS);
  }
  void switch_to_pipe() {
    // Where no pipe opens, or only one too small to keep the bytes busy (the
    // system has lent this user's pipes all it allows), the block carries on.
    if (open_splice_pipe(pipe, PUMP_PIPE_SIZE) < BUSY_BLOCK_SIZE) {
      close_splice_pipe(pipe);
      return;
    }
    return_block(block);
    block = nullptr;
  }
  void give_back() {
    if (block != nullptr) return_block(block);
    block = nullptr;
    close_splice_pipe(pipe);
  }
};

// Half-closes a direction whose data has ended, unless the other direction
// broke meanwhile: the relay then resets both connections, and an orderly
// end here would tell a peer that everything had arrived.
void half_close(void* argument) {
  PumpRecord& record = *static_cast<PumpRecord*>(argument);
  if (!*record.aborted) {
    shutdown_sending(record.to_socket);
    log_eventf("%s - Shutdown", record.name);
    set_state(record, SVC_READY);
  }
  end_direction(record);
}

// Moves blocks until this direction's data ends, logging and counting how.
// false when the direction goes on later: with its delayed half-close, or
// on another thread once more bytes come.
bool pump_until_end(PumpRecord& record) {
  Carrier carrier;
  for (;;) {
    if (!carrier.held()) {
      // The first bytes are waited for on this thread, as they are usually
      // on their way already; bytes after a pause, holding no thread.
      if (record.moved && wait_readable(record.from_socket, 0) == 0 &&
          call_when_readable(record.from_socket, pump_thread, &record) == 0) {
        return false;
      }
      // Ended, failed or readable, the receive says what came.
      while (wait_readable(record.from_socket, IDLE_WAIT_MS) == 0) {
      }
      carrier.take();
    }
    const bool piped = is_open(carrier.pipe);
    long received = piped ? splice_receive(record.from_socket, carrier.pipe, PUMP_PIPE_SIZE)
                          : receive_some(record.from_socket, carrier.block, PUMP_BLOCK_SIZE);
    if (received > 0) {
      const size_t size = static_cast<size_t>(received);
      long sent;
      if (piped) {
        sent = splice_send_all(carrier.pipe, record.to_socket, size);
      } else {
        if (record.table != nullptr) translate(carrier.block, size, record.table);
        sent = send_all(record.to_socket, carrier.block, size);
      }
      if (sent < 0) {
        log_eventf("%s error (send) %d", record.name, last_socket_error());
        ++*record.errors;
        set_state(record, SVC_ERROR);
        abort_relay(record);
        return true;
      }
      *record.bytes += static_cast<uint32_t>(sent);
      record.moved = true;
      // Bytes that come in less than a busy block, or that stop coming, are
      // waited for holding nothing.
      if (received < BUSY_BLOCK_SIZE || wait_readable(record.from_socket, 0) == 0) {
        carrier.give_back();
      } else if (!piped && record.table == nullptr) {
        carrier.switch_to_pipe();
      }
      continue;
    }
    if (received == 0) {
      if (*record.aborted) return true;
      call_after(HALF_CLOSE_DELAY_MS, half_close, &record);
      return false;
    }
    int error = last_socket_error();
    abort_relay(record);
    if (is_connection_reset(error)) {
      log_eventf("%s Connection Reset (recv)", record.name);
      set_state(record, SVC_READY);
    } else {
      set_state(record, SVC_ERROR);
      log_eventf("%s error (recv) %d", record.name, error);
      ++*record.errors;
    }
    return true;
  }
}

}  // namespace

void pump_thread(void* argument) {
  PumpRecord& record = *static_cast<PumpRecord*>(argument);
  if (pump_until_end(record)) end_direction(record);
}

}  // namespace kiv
