#include "tests/proc_status.h"

#include <cstdio>
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

long cpu_ticks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  // The command name in parentheses may hold spaces: the fields counted from the
  // last ')' are state and ten more, then utime and stime.
  long user = 0, system = 0;
  size_t end = line.rfind(')');
  if (end == std::string::npos ||
      sscanf(line.c_str() + end + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
             &user, &system) != 2) {
    return -1;
  }
  return user + system;
}

bool port_listening(uint16_t port) {
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream table(path);
    std::string line;
    std::getline(table, line);  // the heading
    unsigned local_port = 0, state = 0;
    while (std::getline(table, line)) {
      // "  0: 0100007F:1F90 00000000:0000 0A ...": state 0A is LISTEN (tcp6 has longer addresses).
      if (sscanf(line.c_str(), " %*u: %*x:%x %*x:%*x %x", &local_port, &state) == 2 &&
          local_port == port && state == 0x0A) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace kiv_test
