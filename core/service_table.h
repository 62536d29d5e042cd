#pragma once
// The service table: the five configured services with their live state and
// counters, shared by the window thread and every service thread.

#include <atomic>
#include <cstdint>

#include "platform/mutex.h"

namespace kiv {

constexpr int MAX_SERVICES = 5;
constexpr int NAME_CAPACITY = 5;
constexpr int HOST_CAPACITY = 63;
constexpr int TABLE_NAME_CAPACITY = 35;
/// Vertical distance between two rows of the status window.
constexpr int ROW_SPACING = 15;

/// State of a service, shown as the colour of its lamp.
enum ServiceState : uint16_t {
  SVC_READY = 200,     // waiting for clients, or the last connection ended well
  SVC_ERROR = 201,     // the last operation failed
  SVC_ACTIVE = 202,    // a client is being relayed or served
  SVC_DISABLED = 203,  // not enabled; nothing runs for it
};

/// ServiceConfig is what the operator configured for one service.
struct ServiceConfig {
  char name[NAME_CAPACITY + 1];  // "KIV" makes the row a control port
  char host[HOST_CAPACITY + 1];  // host name or dotted IPv4 address
  uint16_t port;                 // local listening port
  uint16_t remote_port;
  char table_name[TABLE_NAME_CAPACITY + 1];  // "NONE": no translation
  int16_t row_y;                             // row index × ROW_SPACING
  int16_t enabled;                           // non-zero: started
};

/// ServiceRecord is one row of the table. The window thread writes its
/// configuration while service threads may be reading it, so the
/// configuration is only ever read and written whole, under the row's guard;
/// the state and counters are atomics that the row's threads change.
/// Counters are never reset while the process runs and wrap at 2^32.
struct ServiceRecord {
  ServiceConfig config() const;
  void set_config(const ServiceConfig& config);

  std::atomic<uint16_t> state{SVC_DISABLED};
  std::atomic<uint32_t> connections{0};
  std::atomic<uint32_t> bytes_read{0};     // from the far side
  std::atomic<uint32_t> bytes_written{0};  // to the far side
  std::atomic<uint32_t> errors_c{0};       // never raised: shown for completeness
  std::atomic<uint32_t> errors_t{0};       // transfer errors
  std::atomic<uint32_t> errors_o{0};       // other errors

 private:
  mutable Mutex guard_;
  ServiceConfig config_ GUARDED_BY(guard_){};
};

/// ServiceTable is the process-wide table; rows from service_count on are unused.
struct ServiceTable {
  ServiceRecord rows[MAX_SERVICES];
  std::atomic<int> service_count{0};
};

ServiceTable& service_table();

/// Makes `rows` rows 0 to `count` - 1 of the table, each replaced whole, and
/// then sets service_count once: other threads see the old count or the new
/// one, never a count in between. State and counters stay with their rows.
void publish_service_rows(const ServiceConfig* rows, int count);

/// Copies `text` into a field of `capacity` characters, cutting what is longer.
template <size_t N>
void copy_field(char (&field)[N], const char* text) {
  size_t i = 0;
  for (; i + 1 < N && text[i] != '\0'; ++i) field[i] = text[i];
  field[i] = '\0';
}

}  // namespace kiv
