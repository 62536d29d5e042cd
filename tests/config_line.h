#pragma once
// kiv.cnf text for tests.

#include <string>

namespace kiv_test {

/// The kiv.cnf line of one service, as the agent writes it.
inline std::string config_line(const std::string& name, unsigned port, unsigned remote_port,
                               const std::string& host = "127.0.0.1",
                               const std::string& table = "NONE", int enabled = 1) {
  return name + ' ' + std::to_string(port) + ' ' + std::to_string(remote_port) + ' ' + host +
         ' ' + table + ' ' + std::to_string(enabled) + '\n';
}

}  // namespace kiv_test
