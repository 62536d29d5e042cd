#include "agent/service_faults.h"

#include <cstdio>
#include <cstring>

#include "core/config_file.h"
#include "core/event_log.h"

namespace kiv {

namespace {

// A service that can't keep up with its faults (a reset loop over ports in
// use) drops the newest beyond this many a second.
constexpr size_t MAX_COLLECTED = 64;

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

/// The event of a warning: its own kind where the text is known.
ServiceFault warning_fault(const char* text) {
  int row = 0;
  char rest = 0;
  std::string line_error = std::string(CONFIG_FILE_NAME) + ": Error in line %d%c";
  // The log counts the rows of kiv.cnf from 0; an administrator counts lines from 1.
  if (std::sscanf(text, line_error.c_str(), &row, &rest) == 1) {
    return {ServiceEvent::ConfigurationLine, std::to_string(row + 1)};
  }
  if (std::strcmp(text, "Can't open log_file...") == 0) {
    return {ServiceEvent::LogFile, LOG_FILE_NAME};
  }
  return {ServiceEvent::Warning, text};
}

}  // namespace

void ServiceFaults::line_logged(const char* text) {
  MutexLock lock(guard_);
  if (repeated_ != text) repeated_.clear();
  if (std::strcmp(text, (std::string("Cannot open ") + CONFIG_FILE_NAME).c_str()) == 0) {
    collect(text, {ServiceEvent::NoConfiguration, ""});
  } else if (starts_with(text, "Can't bind: ")) {
    collect(text, {ServiceEvent::CannotBind, text + std::strlen("Can't bind: ")});
  }
}

void ServiceFaults::warning_shown(const char* text) {
  MutexLock lock(guard_);
  collect(text, warning_fault(text));
}

std::vector<ServiceFault> ServiceFaults::take() {
  std::vector<ServiceFault> taken;
  MutexLock lock(guard_);
  taken.swap(collected_);
  return taken;
}

void ServiceFaults::collect(const char* text, ServiceFault fault) {
  if (repeated_ == text) return;
  repeated_ = text;
  if (collected_.size() < MAX_COLLECTED) collected_.push_back(std::move(fault));
}

}  // namespace kiv
