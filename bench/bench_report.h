#pragma once
// The figures of one bench run, and the table and document made of them.

#include <string>
#include <vector>

namespace kiv_bench {

/// HoldFigures is what a forwarder showed while holding idle relays open.
struct HoldFigures {
  int wanted = 0;
  int held = 0;        // relays that opened and echoed
  int answering = 0;   // of those, relays that echoed again once all were open
  double kib_per_relay = 0;
  int threads = 0;
  int processes = 0;
};

/// TargetFigures are the medians of every measure of one way to the server.
struct TargetFigures {
  std::string label;
  bool is_direct = false;
  double stream_mb_s = 0;
  double parallel_mb_s = 0;
  double latency_median_us = 0;
  double latency_p99_us = 0;
  int latency_failures = 0;
  // 1-byte echoes on a kept connection while 8 streams run the same way.
  double loaded_echo_median_us = 0;
  double loaded_echo_p99_us = 0;
  // redis-benchmark through this way to a redis-server; the forwarder's CPU
  // over the run per request.
  double redis_set_per_s = 0;
  double redis_get_per_s = 0;
  double redis_cpu_us_per_request = 0;
  std::vector<HoldFigures> holds;
  HoldFigures silent;  // clients connected that send nothing; `held` is how many connected
  double burst_per_s = 0;  // short connections a second, many clients at once
  int burst_failures = 0;
  std::vector<std::string> burst_errors;  // kiv-agentd's error lines in the burst, counted
};

/// ControlledAgentFigures are what kiv-agentd with a control port and four
/// services showed with no client: idle, and restarting its services.
struct ControlledAgentFigures {
  int threads = 0;          // the most seen while idle
  double wakeups_per_s = 0;  // context switches of all its threads
  double idle_seconds = 0;
  // From RESET until it logged "Resetting KIV...", and until every service
  // echoed again; -1 when that did not happen.
  std::vector<double> logged_restart_seconds;
  std::vector<double> restart_seconds;
};

/// SteadyFigures are what kiv-agentd did with a steady stream of short
/// connections under the packaged service's limits.
struct SteadyFigures {
  int per_second = 0;
  int seconds = 0;
  long open_file_limit = 0;
  long process_limit = 0;
  double relayed_per_s = 0;
  int failed = 0;
  std::vector<std::string> first_errors;  // its first error lines, counted
};

/// TranslateFigure is one result of the translation loop benchmark.
struct TranslateFigure {
  std::string name;
  double mb_s = 0;
};

/// LimitProbe is what kiv-agentd did when it ran out of descriptors.
struct LimitProbe {
  long open_file_limit = 0;
  int relays_held = 0;
  std::vector<std::string> first_failure;  // its log lines for the first client refused
  bool answered_after_relays_closed = false;
};

/// BenchReport is everything one run of the bench found, with how it was run.
struct BenchReport {
  std::vector<std::string> machine;
  std::vector<std::string> settings;
  // direct, splice relay, socat, rinetd, kiv NONE, kiv WINDOWS
  std::vector<TargetFigures> targets;
  int burst_connections = 0;
  int burst_clients = 0;
  ControlledAgentFigures controlled;
  SteadyFigures steady;
  std::vector<TranslateFigure> translation;
  long agent_open_file_limit = 0;
  std::string thread_limits;  // what bounds the threads of a process on this machine
  std::vector<LimitProbe> probes;
};

/// The side-by-side table, in Markdown.
std::string format_table(const BenchReport& report);
/// The goals and whether this run met them, one Markdown list item each.
std::string format_goals(const BenchReport& report);
/// The whole of docs/benchmarks.md.
std::string format_document(const BenchReport& report);
/// What this machine is: processor, cores, memory, system, compiler.
std::vector<std::string> describe_machine();

}  // namespace kiv_bench
