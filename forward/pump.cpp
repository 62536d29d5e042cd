#include "core/event_log.h"
#include "core/lifecycle.h"
#include "core/window_thread.h"
#include "forward/forwarding.h"
#include "forward/translate.h"
#include "platform/clock.h"

namespace kiv {

namespace {

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

// Moves blocks until this direction ends, logging and counting how it ended.
void pump_until_end(PumpRecord& record) {
  uint8_t buffer[PUMP_BLOCK_SIZE];
  for (;;) {
    long received = receive_some(record.from_socket, buffer, sizeof buffer);
    if (received > 0) {
      if (record.table != nullptr) translate(buffer, static_cast<size_t>(received), record.table);
      long sent = send_all(record.to_socket, buffer, static_cast<size_t>(received));
      if (sent < 0) {
        log_eventf("%s error (send) %d", record.name, last_socket_error());
        ++*record.errors;
        set_state(record, SVC_ERROR);
        abort_relay(record);
        return;
      }
      *record.bytes += static_cast<uint32_t>(sent);
      continue;
    }
    if (received == 0) {
      if (!*record.aborted) sleep_ms(HALF_CLOSE_DELAY_MS);
      // The other direction broke: the relay resets both connections, and an
      // orderly end here would tell a peer that everything had arrived.
      if (*record.aborted) return;
      shutdown_sending(record.to_socket);
      log_eventf("%s - Shutdown", record.name);
      set_state(record, SVC_READY);
      return;
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
    return;
  }
}

}  // namespace

void pump_thread(void* argument) {
  PumpRecord& record = *static_cast<PumpRecord*>(argument);
  pump_until_end(record);
  // Lowered before `done` is set: once the relay sees every pump done and its
  // connection closes, no pump of it is still counted, so the last thread to
  // close for a reset always finds the count at 0.
  --thread_count;
  record.done = 1;
}

}  // namespace kiv
