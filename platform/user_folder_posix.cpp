#include "platform/user_folder.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace kiv {

namespace {

std::string failure(const std::string& what) { return what + " (" + strerror(errno) + ")"; }

/// The example kiv.cnf as the package installs it, found from the program's
/// own place (KIV_EXAMPLE_FROM_PROGRAM is the path from its folder).
std::string example_configuration() {
  char program[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", program, sizeof program);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof program) return "";
  std::string path(program, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + KIV_EXAMPLE_FROM_PROGRAM;
}

}  // namespace

std::string enter_user_folder() {
  const char* config_home = getenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  std::string base;
  if (config_home != nullptr && config_home[0] == '/') {
    base = config_home;
  } else if (home != nullptr && home[0] != '\0') {
    base = std::string(home) + "/.config";
  } else {
    return "Cannot find the folder .config: HOME is not set";
  }
  std::string folder = base + "/kiv-agent";
  if (mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) return failure("Cannot make " + base);
  if (mkdir(folder.c_str(), 0700) == 0) {
    // Without the example the agent starts with an empty table and says so in its log.
    std::ifstream example(example_configuration(), std::ios::binary);
    if (example) std::ofstream(folder + "/kiv.cnf", std::ios::binary) << example.rdbuf();
  } else if (errno != EEXIST) {
    return failure("Cannot make " + folder);
  }
  if (chdir(folder.c_str()) != 0) return failure("Cannot enter " + folder);
  return "";
}

}  // namespace kiv
