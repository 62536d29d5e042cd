#pragma once
// The forwarders under test, each started as a process group of its own in a
// temporary folder, and what they hold while they run.

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kiv_bench {

/// ForwarderProcess is one forwarder under test: where clients connect, and
/// the process (group leader) that relays them. The direct connection is a
/// ForwarderProcess with no process: clients reach the server itself.
struct ForwarderProcess {
  std::string label;
  uint16_t port = 0;
  pid_t pid = -1;
  std::string log_file;  // its standard output and standard error
};

/// What a process and every process it forked hold at one moment.
struct ProcessTreeUsage {
  long proportional_kib = 0;  // Pss: shared pages split between the sharers
  long resident_kib = 0;
  int threads = 0;
  int processes = 0;
  int descriptors = 0;
};

/// ProcessLimits are the limits a forwarder is started under, soft and hard
/// alike; 0 leaves a limit as the bench's.
struct ProcessLimits {
  rlim_t open_files = 0;
  rlim_t processes = 0;
};

ForwarderProcess direct_connection(uint16_t server_port);
/// kiv-agentd with one service that relays to the server through `table`.
ForwarderProcess start_kiv_agentd(const std::string& folder, const std::string& table,
                                  uint16_t server_port, ProcessLimits limits = {});
/// kiv-agentd with a control port, which is its `port`, and `services.size()`
/// services that relay to the server without a table, on the ports it writes
/// to `services`.
ForwarderProcess start_kiv_agentd_with_control_port(const std::string& folder,
                                                    uint16_t server_port,
                                                    std::vector<uint16_t>& services);
ForwarderProcess start_socat(const std::string& folder, uint16_t server_port);
ForwarderProcess start_rinetd(const std::string& folder, uint16_t server_port);
/// redis-server on 127.0.0.1 with no persistence: the far end of the
/// request/response runs.
ForwarderProcess start_redis_server(const std::string& folder);
/// Ends the forwarder's whole process group and waits for its leader.
void stop_forwarder(ForwarderProcess& forwarder);

/// Waits (up to `deadline_ms`) until something listens on 127.0.0.1:port.
bool wait_listening(uint16_t port, int deadline_ms);
ProcessTreeUsage measure_process_tree(pid_t root);
/// Waits (up to `deadline_ms`) until the forwarder holds no more threads and
/// processes than `idle`, as its relays wind down by themselves.
bool wait_idle(const ForwarderProcess& forwarder, const ProcessTreeUsage& idle, int deadline_ms);
/// Waits (up to `deadline_ms`) until the forwarder's log has not grown for
/// `quiet_ms`. kiv-agentd logs the end of every relay, and a relay winding
/// down stays silent for at most one 2.5 s pause, so a log quiet for longer
/// means that no client is connected.
bool wait_log_quiet(const ForwarderProcess& forwarder, int quiet_ms, int deadline_ms);
/// How many lines of the forwarder's log contain `text`.
int log_lines_with(const ForwarderProcess& forwarder, const std::string& text);
/// Context switches so far, voluntary and not, of each task (thread) of the
/// process, by task id.
std::map<pid_t, long> task_context_switches(pid_t pid);
/// CPU seconds the process has spent, in user and system time, its reaped
/// children's included.
double cpu_seconds(pid_t pid);
/// The soft open-file limit the process runs with.
long open_file_limit(pid_t pid);
/// The first line that `command` prints, or "".
std::string first_output_line(const std::string& command);

}  // namespace kiv_bench
