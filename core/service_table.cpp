#include "core/service_table.h"

#include "platform/no_destructor.h"

namespace kiv {

ServiceConfig ServiceRecord::config() const {
  MutexLock lock(guard_);
  return config_;
}

void ServiceRecord::set_config(const ServiceConfig& config) {
  MutexLock lock(guard_);
  config_ = config;
}

ServiceTable& service_table() {
  static NoDestructor<ServiceTable> table;
  return *table;
}

void publish_service_rows(const ServiceConfig* rows, int count) {
  ServiceTable& table = service_table();
  for (int r = 0; r < count; ++r) table.rows[r].set_config(rows[r]);
  table.service_count = count;
}

}  // namespace kiv
