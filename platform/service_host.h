#pragma once
// kiv-agentd under the system's service manager: the commands on its command
// line that register it, remove it and serve under the manager, and the
// system log that the manager's operators read.

#include "platform/signals.h"

namespace kiv {

/// What a service runs: the agent itself, which returns its exit code when
/// its event loop ends, the delivery of the manager's controls to it (stop,
/// and "parameters changed" as a reload), and what the service does each
/// second while the agent runs and once after it ended (its log goes to
/// kiv.log, its faults to the system's log).
struct ServedAgent {
  int (*run)();
  void (*control)(OperatorSignal);
  void (*each_second)();
};

/// The usage line of kiv-agentd on this system.
const char* agentd_usage();

/// Carries out the service command in the program's arguments and returns
/// the exit code, or -1 when they hold none. Windows: "install [FOLDER]"
/// registers the service kiv-agentd working in FOLDER (the current folder by
/// default); "remove" stops and removes it; "service FOLDER", the command line
/// the service manager starts, serves `agent` in FOLDER until the manager
/// stops it; "/?" prints the usage. Linux has none: systemd starts kiv-agentd
/// as it is, from the unit that its package installs.
int run_service_command(int argc, char** argv, const ServedAgent& agent);

/// The kinds of fault that a service reports to the system's log, each with
/// an event ID of its own (the message table of kiv-agentd.exe on Windows).
enum class ServiceEvent : unsigned {
  Warning = 1,            // an error shown to the operator; insert: its text
  ConfigurationLine = 2,  // a record of kiv.cnf that can't be read; insert: its line, from 1
  NoConfiguration = 3,    // no kiv.cnf to read
  CannotBind = 4,         // a service's port can't be had; insert: the error number
  LogFile = 5,            // kiv.log can't be appended to; insert: its path
  NoFolder = 6,           // the service's folder can't be entered; insert: the folder
};

/// Puts a fault into the system's log where the service manager's operators
/// look for it (Windows: the Application event log, source "KIV Agent").
/// On Linux systemd already files standard error, where the agent's lines
/// and warnings are printed, in the journal.
void report_service_event(ServiceEvent event, const char* insert);

}  // namespace kiv
