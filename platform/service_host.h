#pragma once
// kiv-agentd under the system's service manager: the commands on its command
// line that register it, remove it and serve under the manager, and the
// system log that the manager's operators read.

#include "platform/signals.h"

namespace kiv {

/// What a service runs: the agent itself, which returns its exit code when
/// its event loop ends, and the delivery of the manager's controls to it
/// (stop, and "parameters changed" as a reload).
struct ServedAgent {
  int (*run)();
  void (*control)(OperatorSignal);
};

/// The usage line of kiv-agentd on this system.
const char* agentd_usage();

/// Carries out the service command in the program's arguments and returns
/// the exit code, or -1 when they hold none. Windows: "install [FOLDER]"
/// registers the service kiv-agentd working in FOLDER (the current folder by
/// default); "remove" stops and removes it; "service FOLDER", the command line
/// the service manager starts, serves `agent` in FOLDER until the manager
/// stops it. Linux has none: systemd starts kiv-agentd as it is, from the
/// unit that its package installs.
int run_service_command(int argc, char** argv, const ServedAgent& agent);

/// Puts `text`, an error the operator must see, into the system's log where
/// the service manager's operators look for it (Windows: the Application
/// event log, source "KIV Agent"). On Linux systemd already files standard
/// error, where the warning is printed, in the journal.
void report_error_event(const char* text);

}  // namespace kiv
