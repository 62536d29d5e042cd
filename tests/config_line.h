#pragma once
// kiv.cnf text for tests.

#include <sstream>
#include <string>

namespace kiv_test {

/// The kiv.cnf line of one service.
inline std::string config_line(const std::string& name, unsigned port, unsigned remote_port,
                               const std::string& host, const std::string& table, int enabled) {
  std::ostringstream line;
  line << name << ' ' << port << ' ' << remote_port << ' ' << host << ' ' << table << ' '
       << enabled << '\n';
  return line.str();
}

}  // namespace kiv_test
