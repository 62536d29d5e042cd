#include "ui/agent_arguments.h"

#include <cstring>

namespace kiv {

AgentStart agent_start(int argc, char** argv) {
  if (argc <= 1) return AgentStart::WorkingFolder;
  if (argc == 2 && std::strcmp(argv[1], "--user-folder") == 0) return AgentStart::UserFolder;
  return AgentStart::Usage;
}

}  // namespace kiv
