// Puts the same work through a direct connection, kiv-agentd (NONE and
// WINDOWS), socat and rinetd, side by side in one run on one machine, and
// writes the table of figures with the machine's description.
//
// kiv_forwarder_bench [--runs N] [--stream-mib N] [--rounds N]
//                     [--translate-results FILE.csv] [--output FILE.md]

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
#include "tests/temp_folder.h"

namespace kiv_bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int HELD_RELAYS[] = {100, 1000, 2000};
constexpr int PARALLEL_STREAMS = 8;
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

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--runs") options.runs = atoi(value);
    else if (name == "--stream-mib") options.stream_bytes = strtoull(value, nullptr, 10) << 20;
    else if (name == "--rounds") options.rounds = atoi(value);
    else if (name == "--translate-results") options.translate_results = value;
    else if (name == "--output") options.output = value;
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
  std::vector<double> stream_runs, parallel_runs, latency_medians, latency_p99s;
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
  ForwarderProcess agent = start_kiv_agentd(folder.path(), "NONE", server_port, limit);
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
  std::vector<Forwarder> forwarders(5);
  forwarders[0].process = direct_connection(server.port);
  forwarders[1].process = start_socat(folder(), server.port);
  forwarders[2].process = start_rinetd(folder(), server.port);
  forwarders[3].process = start_kiv_agentd(folder(), "NONE", server.port);
  forwarders[4].process = start_kiv_agentd(folder(), "WINDOWS", server.port);
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
  report.agent_open_file_limit = open_file_limit(forwarders[3].process.pid);

  fprintf(stderr, "Idle relays held open\n");
  for (Forwarder& forwarder : forwarders) {
    wait_idle(forwarder.process, forwarder.idle, IDLE_DEADLINE_MS);
    hold_idle_relays(forwarder);
  }
  wait_all_idle(forwarders);
  fprintf(stderr, "Throughput, %llu MiB a run\n",
          static_cast<unsigned long long>(options.stream_bytes >> 20));
  measure_throughput(forwarders, options);
  wait_all_idle(forwarders);
  fprintf(stderr, "Connection latency, %d connections a run through each\n", options.rounds);
  measure_latency(forwarders, options);
  fprintf(stderr, "kiv-agentd out of descriptors\n");
  for (rlim_t limit : PROBE_LIMITS) report.probes.push_back(probe_open_file_limit(server.port, limit));

  for (Forwarder& forwarder : forwarders) {
    forwarder.figures.stream_mb_s = median(forwarder.stream_runs);
    forwarder.figures.parallel_mb_s = median(forwarder.parallel_runs);
    forwarder.figures.latency_median_us = median(forwarder.latency_medians);
    forwarder.figures.latency_p99_us = median(forwarder.latency_p99s);
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
  report.thread_limits = "Threads: up to 2 per relay while its bytes flow, none while it waits. "
                         "This machine allows " + std::to_string(pid_max) +
                         " process ids (kernel.pid_max) and " + std::to_string(map_count) +
                         " mappings per process (vm.max_map_count; a thread's stack takes 2), "
                         "so threads would run short past about " +
                         std::to_string(std::min(pid_max, map_count / 2) / 2) +
                         " relays moving bytes at once.";
  report.machine.push_back("Peers: " + first_output_line("socat -V | sed -n 2p") + "; " +
                           first_output_line("/usr/sbin/rinetd -v"));
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
      "Idle relays: opened one after another (each echoes 1 byte), then every relay is asked "
      "for one more echo; memory is the growth of the forwarder's proportional set size (Pss, "
      "summed over all its processes) over its idle size, divided by the relays.",
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
