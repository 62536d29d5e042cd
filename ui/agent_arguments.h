#pragma once
// What kiv-agent's command line asks of it, on both systems.

namespace kiv {

/// AgentStart is where kiv-agent runs, or that its arguments are wrong.
enum class AgentStart {
  WorkingFolder,  // no argument
  UserFolder,     // "--user-folder": the operator's own folder (the desktop's menu entry)
  Usage,          // anything else: the usage line, exit code 2
};

/// Reads the arguments after the program's name.
AgentStart agent_start(int argc, char** argv);

}  // namespace kiv
