#include "bench/bench_report.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

namespace kiv_bench {

namespace {

const char* const PEERS[] = {"socat", "rinetd"};

std::string format(const char* pattern, double value) {
  char text[64];
  snprintf(text, sizeof text, pattern, value);
  return text;
}

const TargetFigures* find(const BenchReport& report, const std::string& label) {
  for (const TargetFigures& target : report.targets) {
    if (target.label == label) return &target;
  }
  return nullptr;
}

// One measure: its value for a target, or none when it does not apply or the
// target could not do the work.
struct Measure {
  std::string caption;
  bool more_is_better;
  const char* pattern;
  std::function<bool(const TargetFigures&, double*)> value;
};

std::string ratio(const Measure& measure, const TargetFigures* kiv, const TargetFigures* other) {
  double a = 0;
  double b = 0;
  if (kiv == nullptr || other == nullptr || !measure.value(*kiv, &a) || !measure.value(*other, &b) ||
      b == 0) {
    return "—";
  }
  return format("%.2fx", a / b);
}

// The better of socat and rinetd for this measure.
const TargetFigures* best_peer(const BenchReport& report, const Measure& measure) {
  const TargetFigures* best = nullptr;
  double best_value = 0;
  for (const char* label : PEERS) {
    const TargetFigures* peer = find(report, label);
    double value = 0;
    if (peer == nullptr || !measure.value(*peer, &value)) continue;
    if (best == nullptr || (measure.more_is_better ? value > best_value : value < best_value)) {
      best = peer;
      best_value = value;
    }
  }
  return best;
}

std::vector<Measure> measures(const BenchReport& report) {
  std::vector<Measure> list;
  list.push_back({"1 stream, MB/s (more is better)", true, "%.0f",
                  [](const TargetFigures& t, double* v) { *v = t.stream_mb_s; return *v > 0; }});
  list.push_back({"8 streams together, MB/s (more is better)", true, "%.0f",
                  [](const TargetFigures& t, double* v) { *v = t.parallel_mb_s; return *v > 0; }});
  list.push_back({"connect + 1-byte echo, median µs (less is better)", false, "%.0f",
                  [](const TargetFigures& t, double* v) { *v = t.latency_median_us; return *v > 0; }});
  list.push_back({"connect + 1-byte echo, 99th percentile µs (less is better)", false, "%.0f",
                  [](const TargetFigures& t, double* v) { *v = t.latency_p99_us; return *v > 0; }});
  list.push_back({"1-byte echo under 8 streams, median µs (less is better)", false, "%.0f",
                  [](const TargetFigures& t, double* v) {
                    *v = t.loaded_echo_median_us;
                    return *v > 0;
                  }});
  list.push_back({"1-byte echo under 8 streams, 99th percentile µs (less is better)", false,
                  "%.0f", [](const TargetFigures& t, double* v) {
                    *v = t.loaded_echo_p99_us;
                    return *v > 0;
                  }});
  list.push_back({"redis-benchmark SET, requests/s (more is better)", true, "%.0f",
                  [](const TargetFigures& t, double* v) {
                    *v = t.redis_set_per_s;
                    return *v > 0;
                  }});
  list.push_back({"redis-benchmark GET, requests/s (more is better)", true, "%.0f",
                  [](const TargetFigures& t, double* v) {
                    *v = t.redis_get_per_s;
                    return *v > 0;
                  }});
  list.push_back({"redis-benchmark, forwarder CPU µs per request (less is better)", false, "%.1f",
                  [](const TargetFigures& t, double* v) {
                    *v = t.redis_cpu_us_per_request;
                    return *v > 0;
                  }});
  list.push_back({std::to_string(report.burst_connections) + " connections by " +
                      std::to_string(report.burst_clients) +
                      " clients at once, per second (more is better)",
                  true, "%.0f",
                  [](const TargetFigures& t, double* v) { *v = t.burst_per_s; return *v > 0; }});
  size_t holds = report.targets.empty() ? 0 : report.targets.front().holds.size();
  for (size_t h = 0; h < holds; ++h) {
    int wanted = report.targets.front().holds[h].wanted;
    list.push_back({std::to_string(wanted) + " idle relays: KiB per relay (less is better)", false,
                    "%.1f", [h](const TargetFigures& t, double* v) {
                      if (t.is_direct || h >= t.holds.size()) return false;
                      const HoldFigures& hold = t.holds[h];
                      *v = hold.kib_per_relay;
                      return hold.held == hold.wanted;
                    }});
  }
  return list;
}

std::string cell(const Measure& measure, const TargetFigures& target) {
  double value = 0;
  return measure.value(target, &value) ? format(measure.pattern, value) : "—";
}

std::string joined_seconds(const std::vector<double>& values) {
  std::string text;
  for (double value : values) {
    text += (text.empty() ? "" : ", ") + (value < 0 ? std::string("none") : format("%.3f", value));
  }
  return text.empty() ? "—" : text;
}

double slowest(const std::vector<double>& values) {
  double most = 0;
  for (double value : values) most = value < 0 || most < 0 ? -1 : std::max(most, value);
  return values.empty() ? -1 : most;
}

std::string row(const std::vector<std::string>& cells) {
  std::string text = "|";
  for (const std::string& c : cells) text += " " + c + " |";
  return text + "\n";
}

}  // namespace

std::string format_table(const BenchReport& report) {
  const TargetFigures* none = find(report, "kiv NONE");
  const TargetFigures* windows = find(report, "kiv WINDOWS");
  const TargetFigures* direct = find(report, "direct");
  const TargetFigures* splice = find(report, "splice relay");
  std::vector<std::string> header{"measure"};
  for (const TargetFigures& target : report.targets) header.push_back(target.label);
  for (const char* ratio_caption : {"NONE : direct", "NONE : splice relay", "NONE : best peer",
                                    "WINDOWS : direct", "WINDOWS : best peer"}) {
    header.push_back(ratio_caption);
  }
  std::string text = row(header);
  text += row(std::vector<std::string>(header.size(), "---"));
  for (const Measure& measure : measures(report)) {
    std::vector<std::string> cells{measure.caption};
    for (const TargetFigures& target : report.targets) cells.push_back(cell(measure, target));
    const TargetFigures* best = best_peer(report, measure);
    cells.push_back(ratio(measure, none, direct));
    cells.push_back(ratio(measure, none, splice));
    cells.push_back(ratio(measure, none, best));
    cells.push_back(ratio(measure, windows, direct));
    cells.push_back(ratio(measure, windows, best));
    text += row(cells);
  }
  // Counts, not ratios: connections that failed, what each forwarder holds
  // and whether it still serves.
  std::vector<std::string> failed{"connect + 1-byte echo, connections that failed"};
  for (const TargetFigures& target : report.targets) {
    failed.push_back(std::to_string(target.latency_failures));
  }
  failed.resize(header.size());
  text += row(failed);
  std::vector<std::string> burst_failed{"short connections by " +
                                        std::to_string(report.burst_clients) +
                                        " clients at once, connections that failed"};
  for (const TargetFigures& target : report.targets) {
    burst_failed.push_back(std::to_string(target.burst_failures));
  }
  burst_failed.resize(header.size());
  text += row(burst_failed);
  size_t holds = report.targets.empty() ? 0 : report.targets.front().holds.size();
  for (size_t h = 0; h < holds; ++h) {
    std::vector<std::string> threads{std::to_string(report.targets.front().holds[h].wanted) +
                                     " idle relays: threads (processes)"};
    std::vector<std::string> answering{std::to_string(report.targets.front().holds[h].wanted) +
                                       " idle relays: relays answering"};
    for (const TargetFigures& target : report.targets) {
      if (target.is_direct || h >= target.holds.size()) {
        threads.push_back("—");
        answering.push_back(h < target.holds.size()
                                ? std::to_string(target.holds[h].answering) + "/" +
                                      std::to_string(target.holds[h].wanted)
                                : "—");
        continue;
      }
      const HoldFigures& hold = target.holds[h];
      threads.push_back(std::to_string(hold.threads) + " (" + std::to_string(hold.processes) + ")");
      answering.push_back(std::to_string(hold.answering) + "/" + std::to_string(hold.wanted));
    }
    threads.resize(header.size());
    answering.resize(header.size());
    text += row(threads);
    text += row(answering);
  }
  int silent_wanted = none != nullptr ? none->silent.wanted : 0;
  std::vector<std::string> silent{std::to_string(silent_wanted) +
                                  " silent clients (connected, nothing sent): threads (processes)"};
  for (const TargetFigures& target : report.targets) {
    const HoldFigures& clients = target.silent;
    std::string cell = std::to_string(clients.threads) + " (" +
                       std::to_string(clients.processes) + ")";
    if (clients.held < clients.wanted) cell += ", " + std::to_string(clients.held) + " connected";
    silent.push_back(clients.wanted == 0 ? "—" : cell);
  }
  silent.resize(header.size());
  text += row(silent);
  // kiv-agentd's own figures, in the column of its tableless relays.
  auto agent_row = [&](const std::string& caption, const std::string& value) {
    std::vector<std::string> cells{caption};
    for (const TargetFigures& target : report.targets) {
      cells.push_back(&target == none ? value : "—");
    }
    cells.resize(header.size());
    text += row(cells);
  };
  const ControlledAgentFigures& controlled = report.controlled;
  agent_row("idle, a control port and 4 services: threads", std::to_string(controlled.threads));
  agent_row("idle, a control port and 4 services: wake-ups a second",
            format("%.2f", controlled.wakeups_per_s));
  agent_row("RESET with no client: seconds until it logs \"Resetting KIV...\" (each restart)",
            joined_seconds(controlled.logged_restart_seconds));
  agent_row("RESET with no client: seconds until every service echoes (each restart)",
            joined_seconds(controlled.restart_seconds));
  const SteadyFigures& steady = report.steady;
  agent_row(std::to_string(steady.per_second) + " connections a second for " +
                std::to_string(steady.seconds) + " s under the service's limits: failed",
            std::to_string(steady.failed) + " of " +
                std::to_string(steady.per_second * steady.seconds));
  for (const TranslateFigure& figure : report.translation) {
    std::vector<std::string> cells{"translation loop alone, " + figure.name + ", MB/s"};
    for (const TargetFigures& target : report.targets) {
      cells.push_back(target.label == "kiv WINDOWS" ? format("%.0f", figure.mb_s) : "—");
    }
    cells.resize(header.size());
    text += row(cells);
  }
  return text;
}

std::string format_goals(const BenchReport& report) {
  const TargetFigures* none = find(report, "kiv NONE");
  const TargetFigures* windows = find(report, "kiv WINDOWS");
  const TargetFigures* splice = find(report, "splice relay");
  const TargetFigures* rinetd = find(report, "rinetd");
  if (none == nullptr || windows == nullptr || splice == nullptr || rinetd == nullptr) return "";
  std::vector<Measure> list = measures(report);
  std::string text;
  auto verdict = [](bool met) { return met ? "met" : "missed"; };
  auto share = [](double part, double whole) { return whole > 0 ? part / whole : 0; };

  const TargetFigures* best = best_peer(report, list[0]);
  double of_splice = share(none->stream_mb_s, splice->stream_mb_s);
  double of_peer = share(none->stream_mb_s, best != nullptr ? best->stream_mb_s : 0);
  text += "- One stream through `NONE` within 10% of the splice relay and at least 1.8x the "
          "best peer: " +
          format("%.2fx", of_splice) + " and " + format("%.2fx", of_peer) + ", " +
          verdict(of_splice >= 0.9 && of_peer >= 1.8) + ".\n";

  best = best_peer(report, list[1]);
  of_peer = share(none->parallel_mb_s, best != nullptr ? best->parallel_mb_s : 0);
  text += "- 8 streams together through `NONE` at least 1.6x the best peer: " +
          format("%.2fx", of_peer) + ", " + verdict(of_peer >= 1.6) + ".\n";

  double of_none = share(windows->stream_mb_s, none->stream_mb_s);
  text += "- One stream through `WINDOWS` at least 0.8x `NONE`: " + format("%.2fx", of_none) +
          ", " + verdict(of_none >= 0.8) + ".\n";

  double median_ratio = share(none->latency_median_us, rinetd->latency_median_us);
  double p99_ratio = share(none->latency_p99_us, rinetd->latency_p99_us);
  text += "- Connect + 1-byte echo through `NONE` within 5% of rinetd's or better, median and "
          "99th percentile: " +
          format("%.0f", none->latency_median_us) + " µs against " +
          format("%.0f", rinetd->latency_median_us) + " µs, " +
          format("%.0f", none->latency_p99_us) + " µs against " +
          format("%.0f", rinetd->latency_p99_us) + " µs, " +
          verdict(median_ratio > 0 && median_ratio <= 1.05 && p99_ratio > 0 && p99_ratio <= 1.05) +
          ".\n";

  const TargetFigures* direct = find(report, "direct");
  double direct_echo_us = direct != nullptr ? direct->loaded_echo_median_us : 0;
  text += "- 1-byte echo through `NONE` under 8 streams, median within 4x direct + 0.5 ms and "
          "99th percentile under 25 ms: " +
          format("%.0f", none->loaded_echo_median_us) + " µs against " +
          format("%.0f", 4 * direct_echo_us + 500) + " µs, " +
          format("%.0f", none->loaded_echo_p99_us) + " µs, " +
          verdict(none->loaded_echo_median_us > 0 && direct_echo_us > 0 &&
                  none->loaded_echo_median_us <= 4 * direct_echo_us + 500 &&
                  none->loaded_echo_p99_us < 25000) +
          ".\n";

  double set_ratio = share(none->redis_set_per_s, rinetd->redis_set_per_s);
  double get_ratio = share(none->redis_get_per_s, rinetd->redis_get_per_s);
  double cpu_ratio = share(none->redis_cpu_us_per_request, rinetd->redis_cpu_us_per_request);
  text += "- redis-benchmark through `NONE` at least rinetd's rate at most its CPU per "
          "request: SET " +
          format("%.2fx", set_ratio) + ", GET " + format("%.2fx", get_ratio) + ", CPU " +
          format("%.2fx", cpu_ratio) + ", " +
          verdict(set_ratio >= 1 && get_ratio >= 1 && cpu_ratio > 0 && cpu_ratio <= 1) + ".\n";

  text += "- " + std::to_string(report.burst_connections) + " connections by " +
          std::to_string(report.burst_clients) +
          " clients at once through `NONE`, at least rinetd's rate with none failed: " +
          format("%.0f", none->burst_per_s) + " against " + format("%.0f", rinetd->burst_per_s) +
          " a second, " + std::to_string(none->burst_failures) + " failed, " +
          verdict(none->burst_per_s >= rinetd->burst_per_s && none->burst_failures == 0) + ".\n";

  const ControlledAgentFigures& controlled = report.controlled;
  text += "- Idle kiv-agentd (a control port and 4 services, no client) with at most 3 threads and "
          "at most 0.5 wake-ups a second: " +
          std::to_string(controlled.threads) + " threads, " +
          format("%.2f", controlled.wakeups_per_s) + " wake-ups a second, " +
          verdict(controlled.threads <= 3 && controlled.wakeups_per_s <= 0.5) + ".\n";
  double restart = slowest(controlled.restart_seconds);
  text += "- Every service echoes again within 0.3 s of a RESET with no client connected: " +
          (restart < 0 ? std::string("not every time") : "at most " + format("%.3f s", restart)) +
          ", " + verdict(restart >= 0 && restart <= 0.3) + ".\n";

  for (const HoldFigures& hold : none->holds) {
    if (hold.wanted != 500) continue;
    text += "- 500 idle relays through `NONE` with at most 12 threads: " +
            std::to_string(hold.threads) + ", " +
            verdict(hold.held == hold.wanted && hold.threads <= 12) + ".\n";
  }
  const HoldFigures& silent = none->silent;
  text += "- " + std::to_string(silent.wanted) +
          " silent clients of `NONE` (connected, nothing sent) with at most 12 threads: " +
          std::to_string(silent.threads) + ", " +
          verdict(silent.held == silent.wanted && silent.threads <= 12) + ".\n";
  if (!none->holds.empty()) {
    const HoldFigures& most = none->holds.back();
    bool held = most.held == most.wanted && most.answering == most.wanted;
    text += "- " + std::to_string(most.wanted) +
            " idle relays through `NONE` held with at most 1 KiB each: " +
            std::to_string(most.answering) + " answering, " +
            format("%.2f KiB", most.kib_per_relay) + " per relay, " +
            verdict(held && most.kib_per_relay <= 1) + ".\n";
  }

  const SteadyFigures& steady = report.steady;
  text += "- " + std::to_string(steady.per_second) + " short connections a second for " +
          std::to_string(steady.seconds) + " s under the service's limits, all relayed: " +
          std::to_string(steady.failed) + " failed, " + verdict(steady.failed == 0) + ".\n";
  return text;
}

std::string format_document(const BenchReport& report) {
  std::string text =
      "# Benchmarks\n\n"
      "Written by `scripts/bench`: every figure below comes from one run of it on one machine,\n"
      "the peers included. Ratios divide the agent's figure by the other one (for latency and\n"
      "memory, less than 1x is better). \"best peer\" is the better of socat and rinetd for\n"
      "that measure.\n\n## Machine\n\n";
  for (const std::string& line : report.machine) text += "- " + line + "\n";
  text += "\n## How it was measured\n\n";
  for (const std::string& line : report.settings) text += "- " + line + "\n";
  text += "\n## Results\n\n" + format_table(report);
  text += "\n## Goals\n\n" + format_goals(report);
  text +=
      "\n## Reading the figures\n\n"
      "- kiv-agentd runs one event loop (epoll) per processor, at most 8. The first accepts\n"
      "  every client and hands it to a loop in turn; a relay then lives on that loop from its\n"
      "  connect to its close. Host names and table files are looked up on a small pool of\n"
      "  threads of their own; a row whose host is an address and has no table needs none.\n"
      "- A readiness of a relay's socket moves at most one block (64 KiB) or one pipe's worth\n"
      "  each way, then the loop serves its next ready socket. A direction without a table\n"
      "  moves a busy stream through a pipe inside the system (`splice`), never through the\n"
      "  process; a direction with a table receives, translates and sends 64 KiB blocks. A\n"
      "  block or pipe goes back as soon as nothing waits in it.\n"
      "- A direction whose data has ended waits 2.5 s before it half-closes, as a timer of its\n"
      "  loop; once both peers have ended, the relay ends at once.\n"
      "- An idle relay of kiv-agentd holds no thread and no block, only its two sockets, its\n"
      "  record and the loop's entry for each socket; socat forks a process per connection,\n"
      "  rinetd keeps small buffers in one process.\n";
  text += "\n## Open-file limit\n\n";
  text += "- kiv-agentd raised its open-file limit to " + std::to_string(report.agent_open_file_limit) +
          " (the hard limit of this machine). Every relay holds 2 descriptors, so about " +
          std::to_string(report.agent_open_file_limit / 2) +
          " relays fit in that limit; while its bytes flow through pipes it holds up to 4 more.\n";
  text += "- " + report.thread_limits + "\n";
  for (const LimitProbe& probe : report.probes) {
    text += "- Started under a limit of " + std::to_string(probe.open_file_limit) + ", it held " +
            std::to_string(probe.relays_held) + " relays; for the next client it logged:\n";
    for (const std::string& line : probe.first_failure) text += "  - `" + line + "`\n";
    text += std::string("  Once some relays had ended, a new client was ") +
            (probe.answered_after_relays_closed ? "served again.\n" : "not served.\n");
  }
  text += "\n## Short connections at once\n\n";
  for (const TargetFigures& target : report.targets) {
    if (target.label.compare(0, 4, "kiv ") != 0) continue;
    if (target.burst_errors.empty()) text += "- " + target.label + " logged no error.\n";
    for (const std::string& line : target.burst_errors) {
      text += "- " + target.label + " logged `" + line + "`.\n";
    }
  }
  const SteadyFigures& steady = report.steady;
  text += "\n## Steady connections under the service's limits\n\n";
  text += "- kiv-agentd ran with an open-file limit of " + std::to_string(steady.open_file_limit) +
          " and a process limit of " + std::to_string(steady.process_limit) + ".\n";
  text += "- " + std::to_string(steady.per_second * steady.seconds) + " connections, " +
          std::to_string(steady.failed) + " failed; relayed " +
          format("%.0f", steady.relayed_per_s) + " a second over the run.\n";
  if (steady.first_errors.empty()) text += "- It logged no error.\n";
  for (const std::string& line : steady.first_errors) text += "- It logged `" + line + "`.\n";
  return text;
}

std::vector<std::string> describe_machine() {
  std::vector<std::string> lines;
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.compare(0, 10, "model name") == 0) {
      lines.push_back("Processor: " + line.substr(line.find(':') + 2) + ", " +
                      std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores");
      break;
    }
  }
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGE_SIZE);
  lines.push_back("Memory: " + format("%.1f GiB", static_cast<double>(pages) * page_size / (1 << 30)));
  utsname system{};
  uname(&system);
  std::ifstream debian("/etc/debian_version");
  std::string debian_version;
  std::getline(debian, debian_version);
  lines.push_back(std::string("System: Linux ") + system.release + " " + system.machine +
                  ", Debian " + debian_version);
  lines.push_back(std::string("Compiler: g++ ") + __VERSION__ + ", kiv-agentd built Release");
  return lines;
}

}  // namespace kiv_bench
