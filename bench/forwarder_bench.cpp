// Puts the same work through a direct connection, a bare splice relay,
// kiv-agentd (NONE and WINDOWS), socat and rinetd, side by side in one run on
// one machine (bulk streams, echoes alone and under streams, redis-benchmark),
// measures kiv-agentd idle, restarting and under a steady stream of
// connections, and writes the table of figures with the machine's
// description. --help tells the options.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_client.h"
#include "bench/bench_report.h"
#include "bench/bench_server.h"
#include "bench/forwarder_process.h"
#include "bench/splice_relay.h"
#include "tests/temp_folder.h"

namespace kiv_bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int HELD_RELAYS[] = {100, 500, 1000, 2000};
constexpr int SILENT_CLIENTS = 500;
// Long enough for a forwarder to accept every client and reach the server.
constexpr auto SILENT_SETTLE = std::chrono::milliseconds(500);
constexpr int BURST_CONNECTIONS = 10000;
constexpr int BURST_CLIENTS = 50;
constexpr int CONTROLLED_SERVICES = 4;
// Threads that served the start end after their 2-second idle wait.
constexpr auto IDLE_SETTLE = std::chrono::seconds(3);
constexpr int IDLE_SECONDS = 10;
constexpr int RESTARTS = 3;
constexpr int QUIET_LOG_MS = 3000;
constexpr auto RESTART_DEADLINE = std::chrono::seconds(10);
constexpr char RESTART_LINE[] = "Resetting KIV...";
constexpr int STEADY_PER_SECOND = 1000;
constexpr int STEADY_SECONDS = 60;
constexpr int STEADY_CLIENTS = 100;
// The packaged service's limits (LimitNOFILE, LimitNPROC); the open files
// only as far as this machine's hard limit allows.
constexpr rlim_t UNIT_OPEN_FILES = 65536;
constexpr rlim_t UNIT_PROCESSES = 16384;
constexpr int PARALLEL_STREAMS = 8;
constexpr int REDIS_CLIENTS = 50;
constexpr int REDIS_REQUESTS = 100000;
// Both tests of redis-benchmark (SET and GET) make this many requests each.
constexpr int REDIS_TESTS = 2;
constexpr int LATENCY_ROUNDS_PER_SECOND = 200;
constexpr unsigned LATENCY_SHUFFLE_SEED = 1;
constexpr int IDLE_DEADLINE_MS = 30000;
// A forwarder that fails this many connections in a row is left out of the
// rest of the latency runs, which would otherwise wait for each in turn.
constexpr int LATENCY_FAILURES_IN_A_ROW = 5;
// Small limits, one even and one odd, so that both the accept and the
// connection to the remote host meet the last free descriptor in turn.
constexpr rlim_t PROBE_LIMITS[] = {128, 129};

struct Options {
  int runs = 5;
  uint64_t stream_bytes = 1ull << 30;
  int rounds = 1000;
  std::string translate_results;
  std::string output;
};

constexpr char USAGE[] =
    "kiv_forwarder_bench [--runs N] [--stream-mib N] [--rounds N]\n"
    "                    [--translate-results FILE.csv] [--output FILE.md]\n"
    "  --runs N                runs of throughput and latency, medians taken (5)\n"
    "  --stream-mib N          MiB sent through each forwarder in a throughput run (1024)\n"
    "  --rounds N              connections through each forwarder in a latency run (1000)\n"
    "  --translate-results F   Google Benchmark CSV of the translation loop to include\n"
    "  --output F              where to write the whole document (Markdown)\n";

// The options, or exits: with the usage on --help, with an error on anything
// it does not know, so that a mistyped option never starts a long run.
Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; i += 2) {
    std::string name = argv[i];
    if (name == "--help") {
      fputs(USAGE, stdout);
      exit(0);
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) {
      fprintf(stderr, "%s needs a value\n%s", name.c_str(), USAGE);
      exit(2);
    }
    if (name == "--runs") options.runs = atoi(value);
    else if (name == "--stream-mib") options.stream_bytes = strtoull(value, nullptr, 10) << 20;
    else if (name == "--rounds") options.rounds = atoi(value);
    else if (name == "--translate-results") options.translate_results = value;
    else if (name == "--output") options.output = value;
    else {
      fprintf(stderr, "unknown option %s\n%s", name.c_str(), USAGE);
      exit(2);
    }
  }
  return options;
}

void raise_open_file_limit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

double median(const std::vector<double>& values) { return percentile(values, 0.5); }

/// Forwarder is one way to the server with what the bench found for it.
struct Forwarder {
  ForwarderProcess process;
  ProcessTreeUsage idle;
  TargetFigures figures;
  bool holds_relays = true;  // the splice relay only sets the pace of bytes
  std::vector<double> stream_runs, parallel_runs, latency_medians, latency_p99s;
  std::vector<double> loaded_echo_medians, loaded_echo_p99s;
};

void wait_all_idle(std::vector<Forwarder>& forwarders) {
  for (Forwarder& forwarder : forwarders) {
    if (!wait_idle(forwarder.process, forwarder.idle, IDLE_DEADLINE_MS)) {
      fprintf(stderr, "  %s still winding down relays\n", forwarder.process.label.c_str());
    }
  }
}

void hold_idle_relays(Forwarder& forwarder) {
  ProcessTreeUsage base = measure_process_tree(forwarder.process.pid);
  HeldRelays relays(forwarder.process.port);
  bool failed = false;
  for (int wanted : HELD_RELAYS) {
    HoldFigures hold;
    hold.wanted = wanted;
    if (!failed) failed = !relays.open_until(wanted);
    hold.held = relays.open();
    if (forwarder.process.pid > 0) {
      // Let pumps that have just echoed settle into their wait.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      ProcessTreeUsage usage = measure_process_tree(forwarder.process.pid);
      hold.kib_per_relay = hold.held > 0 ? static_cast<double>(usage.proportional_kib -
                                                               base.proportional_kib) /
                                               hold.held
                                         : 0;
      hold.threads = usage.threads;
      hold.processes = usage.processes;
    }
    hold.answering = relays.answering();
    fprintf(stderr, "  %-12s %5d relays: %d held, %d answering, %.1f KiB each, %d threads\n",
            forwarder.process.label.c_str(), wanted, hold.held, hold.answering,
            hold.kib_per_relay, hold.threads);
    forwarder.figures.holds.push_back(hold);
  }
}

void hold_silent_clients(Forwarder& forwarder) {
  HoldFigures& silent = forwarder.figures.silent;
  silent.wanted = SILENT_CLIENTS;
  SilentClients clients(forwarder.process.port, SILENT_CLIENTS);
  silent.held = clients.connected();
  std::this_thread::sleep_for(SILENT_SETTLE);
  ProcessTreeUsage usage = measure_process_tree(forwarder.process.pid);
  silent.threads = usage.threads;
  silent.processes = usage.processes;
  fprintf(stderr, "  %-12s %5d silent clients: %d connected, %d threads\n",
          forwarder.process.label.c_str(), SILENT_CLIENTS, silent.held, silent.threads);
}

void measure_bursts(std::vector<Forwarder>& forwarders) {
  for (Forwarder& forwarder : forwarders) {
    ConnectionRate rate =
        connection_burst(forwarder.process.port, BURST_CONNECTIONS, BURST_CLIENTS);
    forwarder.figures.burst_per_s = rate.per_second;
    forwarder.figures.burst_failures = rate.failed;
    fprintf(stderr, "  %-12s %6.0f connections/s, %d failed\n", forwarder.process.label.c_str(),
            rate.per_second, rate.failed);
    if (!wait_idle(forwarder.process, forwarder.idle, IDLE_DEADLINE_MS)) {
      fprintf(stderr, "  %s still winding down relays\n", forwarder.process.label.c_str());
    }
  }
}

void measure_throughput(std::vector<Forwarder>& forwarders, const Options& options) {
  for (int run = 0; run < options.runs; ++run) {
    for (Forwarder& forwarder : forwarders) {
      double single = stream_throughput(forwarder.process.port, 1, options.stream_bytes) / 1e6;
      double parallel =
          stream_throughput(forwarder.process.port, PARALLEL_STREAMS, options.stream_bytes) / 1e6;
      forwarder.stream_runs.push_back(single);
      forwarder.parallel_runs.push_back(parallel);
      fprintf(stderr, "  run %d %-12s 1 stream %6.0f MB/s, %d streams %6.0f MB/s\n", run + 1,
              forwarder.process.label.c_str(), single, PARALLEL_STREAMS, parallel);
    }
  }
}

void measure_loaded_echo(std::vector<Forwarder>& forwarders, const Options& options) {
  for (int run = 0; run < options.runs; ++run) {
    for (Forwarder& forwarder : forwarders) {
      EchoUnderLoad echo =
          echo_under_streams(forwarder.process.port, PARALLEL_STREAMS, options.stream_bytes);
      forwarder.loaded_echo_medians.push_back(echo.median_us);
      forwarder.loaded_echo_p99s.push_back(echo.p99_us);
      fprintf(stderr, "  run %d %-12s echo under %d streams: median %6.0f us, p99 %6.0f us\n",
              run + 1, forwarder.process.label.c_str(), PARALLEL_STREAMS, echo.median_us,
              echo.p99_us);
    }
  }
}

// A forwarder of the same kind as `like`, but to `server_port`.
ForwarderProcess start_like(const ForwarderProcess& like, const std::string& folder,
                            uint16_t server_port) {
  if (like.label == "direct") return direct_connection(server_port);
  if (like.label == "socat") return start_socat(folder, server_port);
  if (like.label == "rinetd") return start_rinetd(folder, server_port);
  return start_kiv_agentd(folder, "NONE", server_port);
}

// redis-benchmark against a redis-server directly and through a forwarder of
// each kind that relays bytes as they are (the splice relay only sets the
// pace of bytes), each with the CPU its process spent over the run.
void measure_redis(std::vector<Forwarder>& forwarders) {
  kiv_test::TempFolder redis_folder;
  ForwarderProcess redis = start_redis_server(redis_folder.path());
  for (Forwarder& forwarder : forwarders) {
    const std::string& label = forwarder.process.label;
    if (!forwarder.holds_relays || label == "kiv WINDOWS") continue;
    kiv_test::TempFolder folder;
    ForwarderProcess way = start_like(forwarder.process, folder.path(), redis.port);
    ProcessTreeUsage idle = measure_process_tree(way.pid);
    double cpu_before = cpu_seconds(way.pid);
    RedisRates rates = redis_benchmark(way.port, REDIS_CLIENTS, REDIS_REQUESTS);
    // socat's children count once they have ended and been reaped.
    wait_idle(way, idle, IDLE_DEADLINE_MS);
    double cpu = cpu_seconds(way.pid) - cpu_before;
    forwarder.figures.redis_set_per_s = rates.set_per_s;
    forwarder.figures.redis_get_per_s = rates.get_per_s;
    forwarder.figures.redis_cpu_us_per_request = cpu * 1e6 / (REDIS_REQUESTS * REDIS_TESTS);
    fprintf(stderr, "  %-12s SET %8.0f/s, GET %8.0f/s, %.2f CPU s\n", label.c_str(),
            rates.set_per_s, rates.get_per_s, cpu);
    stop_forwarder(way);
  }
  stop_forwarder(redis);
}

// Each round connects once through every forwarder, in an order shuffled
// anew each round, each connection in a time slot of its own. Every forwarder
// so meets the same conditions: no forwarder always follows the same one and
// pays for the teardown of its connection, and the connections that
// kiv-agentd winds down after each close stay bounded.
void measure_latency(std::vector<Forwarder>& forwarders, const Options& options) {
  const auto slot = std::chrono::microseconds(1000000 / LATENCY_ROUNDS_PER_SECOND /
                                              static_cast<int>(forwarders.size()));
  std::mt19937 shuffler(LATENCY_SHUFFLE_SEED);
  std::vector<size_t> order(forwarders.size());
  std::iota(order.begin(), order.end(), 0);
  for (int run = 0; run < options.runs; ++run) {
    std::vector<std::vector<double>> samples(forwarders.size());
    std::vector<int> failures_in_a_row(forwarders.size());
    Clock::time_point next = Clock::now();
    for (int round = 0; round < options.rounds; ++round) {
      std::shuffle(order.begin(), order.end(), shuffler);
      for (size_t f : order) {
        std::this_thread::sleep_until(next);
        next += slot;
        if (failures_in_a_row[f] >= LATENCY_FAILURES_IN_A_ROW) continue;
        double us = connect_and_echo_us(forwarders[f].process.port);
        if (us < 0) {
          ++forwarders[f].figures.latency_failures;
          ++failures_in_a_row[f];
        } else {
          samples[f].push_back(us);
          failures_in_a_row[f] = 0;
        }
      }
    }
    for (size_t f = 0; f < forwarders.size(); ++f) {
      forwarders[f].latency_medians.push_back(median(samples[f]));
      forwarders[f].latency_p99s.push_back(percentile(samples[f], 0.99));
      fprintf(stderr, "  run %d %-12s median %6.0f us, p99 %6.0f us\n", run + 1,
              forwarders[f].process.label.c_str(), forwarders[f].latency_medians.back(),
              forwarders[f].latency_p99s.back());
    }
    wait_all_idle(forwarders);
  }
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) lines.push_back(line);
  return lines;
}

// The log lines after the first `held` relays' "BENCH Connected": those of
// the first client the agent could not serve. Timestamps are taken off, and
// a line repeated is shown once with its count.
std::vector<std::string> lines_after_relays(const std::string& log_file, int held) {
  std::vector<std::string> found;
  std::string previous;
  int repeats = 0;
  int connected = 0;
  for (const std::string& line : read_lines(log_file)) {
    if (line.size() < 26) continue;
    std::string text = line.substr(26);
    if (connected >= held && found.size() < 6) {
      if (text == previous) {
        found.back() = previous + " (" + std::to_string(++repeats + 1) + " times)";
      } else {
        found.push_back(text);
        previous = text;
        repeats = 0;
      }
    }
    if (text == "BENCH Connected") ++connected;
  }
  return found;
}

LimitProbe probe_open_file_limit(uint16_t server_port, rlim_t limit) {
  LimitProbe probe;
  probe.open_file_limit = static_cast<long>(limit);
  kiv_test::TempFolder folder;
  ForwarderProcess agent = start_kiv_agentd(folder.path(), "NONE", server_port, {limit, 0});
  {
    HeldRelays relays(agent.port);
    relays.open_until(static_cast<int>(limit));
    probe.relays_held = relays.open();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    probe.first_failure = lines_after_relays(agent.log_file, probe.relays_held);
  }
  // The held relays were closed; they end within a few seconds.
  auto deadline = Clock::now() + std::chrono::seconds(15);
  while (Clock::now() < deadline && !probe.answered_after_relays_closed) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    probe.answered_after_relays_closed = connect_and_echo_us(agent.port) >= 0;
  }
  stop_forwarder(agent);
  fprintf(stderr, "  limit %ld: %d relays held, then:\n", probe.open_file_limit, probe.relays_held);
  for (const std::string& line : probe.first_failure) fprintf(stderr, "    %s\n", line.c_str());
  return probe;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Orders a reset and times it until the agent logs its restart and until a
// new client of every service has a byte echoed. The services are looked
// for only once the restart is logged: a client that a listener accepts
// before it stops would be relayed and hold the restart back.
void measure_restart(const ForwarderProcess& agent, const std::vector<uint16_t>& services,
                     ControlledAgentFigures& figures) {
  const int restarts_before = log_lines_with(agent, RESTART_LINE);
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + RESTART_DEADLINE;
  bool logged = order_reset(agent.port);
  while (logged && log_lines_with(agent, RESTART_LINE) == restarts_before) {
    if (Clock::now() > deadline) logged = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  figures.logged_restart_seconds.push_back(logged ? seconds_since(start) : -1);
  bool echoed = logged;
  for (uint16_t port : services) echoed = echoed && echoes_before(port, deadline);
  figures.restart_seconds.push_back(echoed ? seconds_since(start) : -1);
}

// kiv-agentd with a control port and four services, no client: what it holds
// and how often it wakes while idle, then how soon its services listen again
// after a RESET on the control port.
ControlledAgentFigures measure_controlled_agent(uint16_t server_port) {
  ControlledAgentFigures figures;
  kiv_test::TempFolder folder;
  std::vector<uint16_t> services(CONTROLLED_SERVICES);
  ForwarderProcess agent = start_kiv_agentd_with_control_port(folder.path(), server_port, services);
  std::this_thread::sleep_for(IDLE_SETTLE);
  std::map<pid_t, long> before = task_context_switches(agent.pid);
  Clock::time_point start = Clock::now();
  for (int second = 0; second < IDLE_SECONDS; ++second) {
    figures.threads = std::max(figures.threads, measure_process_tree(agent.pid).threads);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  // A thread that ended meanwhile takes its switches with it; one that began
  // counts them all.
  long wakeups = 0;
  for (const auto& [task, switches] : task_context_switches(agent.pid)) {
    auto found = before.find(task);
    wakeups += switches - (found == before.end() ? 0 : found->second);
  }
  figures.idle_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.wakeups_per_s = static_cast<double>(wakeups) / figures.idle_seconds;
  fprintf(stderr, "  idle: %d threads, %.1f wake-ups a second over %.0f s\n", figures.threads,
          figures.wakeups_per_s, figures.idle_seconds);

  ProcessTreeUsage idle = measure_process_tree(agent.pid);
  for (int restart = 0; restart < RESTARTS; ++restart) {
    // The clients that looked for the services hold them until their relays
    // end, the last of them perhaps only accepted once the first had its echo.
    if (!wait_log_quiet(agent, QUIET_LOG_MS, IDLE_DEADLINE_MS) ||
        !wait_idle(agent, idle, IDLE_DEADLINE_MS)) {
      fprintf(stderr, "  still winding down\n");
    }
    measure_restart(agent, services, figures);
    fprintf(stderr, "  restart %d: logged after %.3f s, every service echoes after %.3f s\n",
            restart + 1, figures.logged_restart_seconds.back(), figures.restart_seconds.back());
  }
  stop_forwarder(agent);
  return figures;
}

// The first distinct error lines of `log_file`, timestamps taken off, each
// with how often it was logged.
std::vector<std::string> counted_errors(const std::string& log_file) {
  std::vector<std::string> lines;
  std::map<std::string, int> counts;
  for (const std::string& line : read_lines(log_file)) {
    if (line.size() < 26 || line.find(" Error: ") == std::string::npos) continue;
    std::string text = line.substr(26);
    if (counts[text]++ == 0 && lines.size() < 3) lines.push_back(text);
  }
  for (std::string& line : lines) line += " (" + std::to_string(counts[line]) + " times)";
  return lines;
}

SteadyFigures measure_steady_connections(uint16_t server_port) {
  SteadyFigures figures;
  figures.per_second = STEADY_PER_SECOND;
  figures.seconds = STEADY_SECONDS;
  rlimit own{};
  getrlimit(RLIMIT_NOFILE, &own);
  kiv_test::TempFolder folder;
  ForwarderProcess agent = start_kiv_agentd(folder.path(), "NONE", server_port,
                                            {std::min(UNIT_OPEN_FILES, own.rlim_max),
                                             UNIT_PROCESSES});
  figures.open_file_limit = open_file_limit(agent.pid);
  figures.process_limit = static_cast<long>(UNIT_PROCESSES);
  ConnectionRate rate =
      steady_connections(agent.port, STEADY_PER_SECOND, STEADY_SECONDS, STEADY_CLIENTS);
  figures.relayed_per_s = rate.per_second;
  figures.failed = rate.failed;
  figures.first_errors = counted_errors(agent.log_file);
  fprintf(stderr, "  %d failed of %d\n", figures.failed, STEADY_PER_SECOND * STEADY_SECONDS);
  for (const std::string& line : figures.first_errors) fprintf(stderr, "    %s\n", line.c_str());
  stop_forwarder(agent);
  return figures;
}

// Medians of the Google Benchmark results (CSV) of the translation loop.
std::vector<TranslateFigure> read_translation_results(const std::string& path) {
  std::vector<TranslateFigure> figures;
  for (const std::string& line : read_lines(path)) {
    if (line.find("_median\"") == std::string::npos) continue;
    // name,iterations,real_time,cpu_time,time_unit,bytes_per_second,...
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      size_t comma = line.find(',', start);
      fields.push_back(line.substr(start, comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (fields.size() < 6) continue;
    std::string name = fields[0];
    bool write = name.find("Write") != std::string::npos;
    std::string block = name.substr(name.find('/') + 1);
    block = block.substr(0, block.find('_'));
    figures.push_back({std::string("WINDOWS ") + (write ? "write" : "read") + " table, " + block +
                           "-byte blocks",
                       atof(fields[5].c_str()) / 1e6});
  }
  return figures;
}

int run(const Options& options) {
  raise_open_file_limit();
  // Other work on the machine slows every forwarder down; the figures are
  // read with how busy it was.
  std::string load_at_start = first_output_line("cut -d' ' -f1 /proc/loadavg");
  BenchServer server = start_bench_server();

  std::vector<std::unique_ptr<kiv_test::TempFolder>> folders;
  auto folder = [&folders]() -> const std::string& {
    folders.push_back(std::make_unique<kiv_test::TempFolder>());
    return folders.back()->path();
  };
  std::vector<Forwarder> forwarders(6);
  forwarders[0].process = direct_connection(server.port);
  forwarders[1].process = start_splice_relay(server.port);
  forwarders[1].holds_relays = false;
  forwarders[2].process = start_socat(folder(), server.port);
  forwarders[3].process = start_rinetd(folder(), server.port);
  forwarders[4].process = start_kiv_agentd(folder(), "NONE", server.port);
  forwarders[5].process = start_kiv_agentd(folder(), "WINDOWS", server.port);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (Forwarder& forwarder : forwarders) {
    forwarder.figures.label = forwarder.process.label;
    forwarder.figures.is_direct = forwarder.process.pid <= 0;
    forwarder.idle = measure_process_tree(forwarder.process.pid);
    if (connect_and_echo_us(forwarder.process.port) < 0) {
      fprintf(stderr, "%s does not relay; see %s\n", forwarder.process.label.c_str(),
              forwarder.process.log_file.c_str());
    }
  }
  BenchReport report;
  report.burst_connections = BURST_CONNECTIONS;
  report.burst_clients = BURST_CLIENTS;
  report.agent_open_file_limit = open_file_limit(forwarders[4].process.pid);

  fprintf(stderr, "kiv-agentd with a control port and %d services\n", CONTROLLED_SERVICES);
  report.controlled = measure_controlled_agent(server.port);
  fprintf(stderr, "Idle relays held open, and silent clients\n");
  for (Forwarder& forwarder : forwarders) {
    if (!forwarder.holds_relays) continue;
    wait_idle(forwarder.process, forwarder.idle, IDLE_DEADLINE_MS);
    hold_idle_relays(forwarder);
    wait_idle(forwarder.process, forwarder.idle, IDLE_DEADLINE_MS);
    if (forwarder.process.pid > 0) hold_silent_clients(forwarder);
  }
  wait_all_idle(forwarders);
  fprintf(stderr, "%d short connections by %d clients at once\n", BURST_CONNECTIONS,
          BURST_CLIENTS);
  measure_bursts(forwarders);
  for (Forwarder& forwarder : forwarders) {
    if (forwarder.process.label.compare(0, 4, "kiv ") != 0) continue;
    forwarder.figures.burst_errors = counted_errors(forwarder.process.log_file);
  }
  fprintf(stderr, "Throughput, %llu MiB a run\n",
          static_cast<unsigned long long>(options.stream_bytes >> 20));
  measure_throughput(forwarders, options);
  wait_all_idle(forwarders);
  fprintf(stderr, "1-byte echo while %d streams run the same way\n", PARALLEL_STREAMS);
  measure_loaded_echo(forwarders, options);
  wait_all_idle(forwarders);
  fprintf(stderr, "redis-benchmark, %d clients, %d requests of each test\n", REDIS_CLIENTS,
          REDIS_REQUESTS);
  measure_redis(forwarders);
  fprintf(stderr, "Connection latency, %d connections a run through each\n", options.rounds);
  measure_latency(forwarders, options);
  fprintf(stderr, "kiv-agentd out of descriptors\n");
  for (rlim_t limit : PROBE_LIMITS) report.probes.push_back(probe_open_file_limit(server.port, limit));
  fprintf(stderr, "kiv-agentd under the service's limits, %d connections a second for %d s\n",
          STEADY_PER_SECOND, STEADY_SECONDS);
  report.steady = measure_steady_connections(server.port);

  for (Forwarder& forwarder : forwarders) {
    forwarder.figures.stream_mb_s = median(forwarder.stream_runs);
    forwarder.figures.parallel_mb_s = median(forwarder.parallel_runs);
    forwarder.figures.latency_median_us = median(forwarder.latency_medians);
    forwarder.figures.latency_p99_us = median(forwarder.latency_p99s);
    forwarder.figures.loaded_echo_median_us = median(forwarder.loaded_echo_medians);
    forwarder.figures.loaded_echo_p99_us = median(forwarder.loaded_echo_p99s);
    report.targets.push_back(forwarder.figures);
    stop_forwarder(forwarder.process);
  }
  kill(server.pid, SIGTERM);
  waitpid(server.pid, nullptr, 0);

  report.machine = describe_machine();
  report.machine.push_back("Load average (1 minute) at the start and at the end of the run: " +
                           load_at_start + ", " +
                           first_output_line("cut -d' ' -f1 /proc/loadavg"));
  long pid_max = atol(first_output_line("cat /proc/sys/kernel/pid_max").c_str());
  long map_count = atol(first_output_line("cat /proc/sys/vm/max_map_count").c_str());
  report.thread_limits = "Threads: one event loop per processor (at most 8) moves the bytes "
                         "of every relay, so the relays an agent holds are bounded by its "
                         "descriptors alone. This machine allows " + std::to_string(pid_max) +
                         " process ids (kernel.pid_max) and " + std::to_string(map_count) +
                         " mappings per process (vm.max_map_count).";
  report.machine.push_back("Peers: " + first_output_line("socat -V | sed -n 2p") + "; " +
                           first_output_line("/usr/sbin/rinetd -v") + "; " +
                           first_output_line("redis-server --version"));
  report.settings = {
      "Server: one process on 127.0.0.1 (epoll), a sink for the streams and an echo for the rest.",
      "Throughput: " + std::to_string(options.stream_bytes >> 20) +
          " MiB from the client to the sink in 128 KiB sends, timed from the first byte to the "
          "sink's receipt of the last, once on 1 connection and once split over " +
          std::to_string(PARALLEL_STREAMS) + " connections at once; median of " +
          std::to_string(options.runs) + " runs, forwarders taken in turn in each run.",
      "Latency: connect, send 1 byte, receive its echo, close; " + std::to_string(options.rounds) +
          " connections through each forwarder a run, one through each in a round, in an "
          "order shuffled each round, " +
          std::to_string(LATENCY_ROUNDS_PER_SECOND) +
          " rounds a second, each connection in an equal time slot of its own; median of the runs' medians and of their 99th percentiles.",
      "Echo under load: a 1-byte echo a millisecond on one kept connection while " +
          std::to_string(PARALLEL_STREAMS) + " streams send " +
          std::to_string(options.stream_bytes >> 20) +
          " MiB between them the same way (direct: the streams and the echo both direct); "
          "median of the runs' medians and of their 99th percentiles.",
      "Small exchanges: `redis-benchmark -q -c " + std::to_string(REDIS_CLIENTS) + " -n " +
          std::to_string(REDIS_REQUESTS) +
          " -t set,get` against a redis-server on 127.0.0.1 (`--save '' --appendonly no`), "
          "directly and through a forwarder of each kind started for it; CPU is the "
          "forwarder's user and system time (/proc/PID/stat, reaped children included) over "
          "the run, divided by the " + std::to_string(REDIS_REQUESTS * REDIS_TESTS) +
          " requests.",
      "Idle relays: opened one after another (each echoes 1 byte), then every relay is asked "
      "for one more echo; memory is the growth of the forwarder's proportional set size (Pss, "
      "summed over all its processes) over its idle size, divided by the relays.",
      "Silent clients: " + std::to_string(SILENT_CLIENTS) +
          " connections that send nothing, counted 0.5 s after the last connected.",
      "Short connections at once: " + std::to_string(BURST_CONNECTIONS) +
          " connections (connect, 1-byte echo, close; each step given up after 5 s) made by " +
          std::to_string(BURST_CLIENTS) +
          " client threads, each starting its next as soon as its last is closed; "
          "connections a second over the whole burst, once for each forwarder.",
      "Idle kiv-agentd: a control port and " + std::to_string(CONTROLLED_SERVICES) +
          " services (no table), no client ever connected; measured from 3 s after its start "
          "for " + std::to_string(IDLE_SECONDS) +
          " s: the most threads seen, and wake-ups as the voluntary and involuntary context "
          "switches of all its threads (/proc/PID/task/*/status).",
      "RESET with no client: the same agent, once no client is connected (its log quiet for "
      "3 s, longer than a relay's pause, and no more threads and descriptors than when "
      "idle), gets RESET on its control port; timed from sending it until the agent logs "
      "\"Resetting KIV...\" on its standard error (read every 1 ms), and until a new client of every service has a byte "
      "echoed. The services are looked for only once the restart is logged, as a client that "
      "a listener accepts before it stops holds the restart back; then a new client is "
      "started every 5 ms and the first echo ends the wait, so a client held in the backlog "
      "of a listener that is about to close does not count. " +
          std::to_string(RESTARTS) + " restarts.",
      "Steady connections: kiv-agentd (one service, no table) started under the service "
      "unit's LimitNOFILE (as far as this machine's hard limit allows) and LimitNPROC; " +
          std::to_string(STEADY_PER_SECOND) + " short connections a second for " +
          std::to_string(STEADY_SECONDS) + " s, each started on its schedule by the first of " +
          std::to_string(STEADY_CLIENTS) +
          " client threads that is free; one that cannot start within 1 s of its time counts as "
          "failed.",
      "Splice relay: a few lines of the bench, two threads and a pipe per connection, "
      "splice(2) from socket to pipe to socket, 1 MiB at a time; the practical limit of a "
      "relay in user space on this machine.",
      "socat: `socat TCP4-LISTEN:port,bind=127.0.0.1,reuseaddr,fork TCP4:127.0.0.1:server`; "
      "rinetd: `rinetd -f -c file` with one rule; kiv-agentd: one service in kiv.cnf.",
      "MB is 10^6 bytes; KiB is 1024 bytes."};
  if (!options.translate_results.empty()) {
    report.translation = read_translation_results(options.translate_results);
  }

  std::string table = format_table(report);
  printf("%s\n%s", table.c_str(), format_goals(report).c_str());
  if (!options.output.empty()) std::ofstream(options.output) << format_document(report);
  return 0;
}

}  // namespace
}  // namespace kiv_bench

int main(int argc, char** argv) { return kiv_bench::run(kiv_bench::parse_options(argc, argv)); }
