#include "tests/proc_status.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace kiv_test {

namespace {

int entries_in(const std::string& folder) {
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    ++count;
  }
  return count;
}

}  // namespace

int thread_total(pid_t pid) { return entries_in("/proc/" + std::to_string(pid) + "/task"); }

int descriptor_total(pid_t pid) { return entries_in("/proc/" + std::to_string(pid) + "/fd"); }

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string field;
  while (status >> field) {
    if (field == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

}  // namespace kiv_test
