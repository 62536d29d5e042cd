#include "bench/forwarder_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/loopback.h"

namespace kiv_bench {

namespace {

using Clock = std::chrono::steady_clock;

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream(path) << contents;
}

// Starts `arguments` in `folder` as the leader of a new process group that
// is killed if the bench dies; its output goes to `log_file`.
pid_t spawn(const std::vector<std::string>& arguments, const std::string& folder,
            const std::string& log_file, ProcessLimits limits) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (chdir(folder.c_str()) != 0) _exit(126);
  int input = open("/dev/null", O_RDONLY);
  int output = open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(input, 0);
  dup2(output, 1);
  dup2(output, 2);
  if (limits.open_files != 0) {
    rlimit limit{limits.open_files, limits.open_files};
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limits.processes != 0) {
    rlimit limit{limits.processes, limits.processes};
    setrlimit(RLIMIT_NPROC, &limit);
  }
  execv(argv[0], argv.data());
  _exit(127);
}

ForwarderProcess start(const std::string& label, const std::vector<std::string>& arguments,
                       const std::string& folder, uint16_t port, ProcessLimits limits = {}) {
  ForwarderProcess forwarder;
  forwarder.label = label;
  forwarder.port = port;
  forwarder.log_file = folder + "/output.txt";
  forwarder.pid = spawn(arguments, folder, forwarder.log_file, limits);
  if (!wait_listening(port, 10000)) fprintf(stderr, "%s does not listen on %u\n", label.c_str(), port);
  return forwarder;
}

std::map<std::string, long> status_fields(pid_t pid) {
  std::map<std::string, long> fields;
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    fields[line.substr(0, colon)] = atol(line.c_str() + colon + 1);
  }
  return fields;
}

long proportional_kib(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  while (std::getline(file, line)) {
    if (line.compare(0, 4, "Pss:") == 0) return atol(line.c_str() + 4);
  }
  return 0;
}

int descriptor_count(pid_t pid) {
  DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (folder == nullptr) return 0;
  int count = 0;
  while (dirent* entry = readdir(folder)) count += entry->d_name[0] != '.';
  closedir(folder);
  return count;
}

// Every process whose parent chain leads to `root`, `root` included.
std::vector<pid_t> process_tree(pid_t root) {
  std::map<pid_t, pid_t> parents;
  DIR* proc = opendir("/proc");
  while (dirent* entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream file(std::string("/proc/") + entry->d_name + "/stat");
    std::string stat;
    std::getline(file, stat);
    size_t end_of_name = stat.rfind(')');
    if (end_of_name == std::string::npos) continue;
    std::istringstream rest(stat.substr(end_of_name + 2));
    std::string state;
    pid_t parent = 0;
    rest >> state >> parent;
    parents[pid] = parent;
  }
  closedir(proc);
  std::vector<pid_t> tree{root};
  for (size_t i = 0; i < tree.size(); ++i) {
    for (const auto& [pid, parent] : parents) {
      if (parent == tree[i]) tree.push_back(pid);
    }
  }
  return tree;
}

}  // namespace

ForwarderProcess direct_connection(uint16_t server_port) {
  ForwarderProcess direct;
  direct.label = "direct";
  direct.port = server_port;
  return direct;
}

ForwarderProcess start_kiv_agentd(const std::string& folder, const std::string& table,
                                  uint16_t server_port, ProcessLimits limits) {
  uint16_t port = kiv_test::free_port();
  write_file(folder + "/kiv.cnf", "BENCH " + std::to_string(port) + " " +
                                      std::to_string(server_port) + " 127.0.0.1 " + table + " 1\n");
  return start("kiv " + table, {KIV_AGENTD_PATH}, folder, port, limits);
}

ForwarderProcess start_kiv_agentd_with_control_port(const std::string& folder,
                                                    uint16_t server_port,
                                                    std::vector<uint16_t>& services) {
  uint16_t control_port = kiv_test::free_port();
  std::string rows = "KIV " + std::to_string(control_port) + " " + std::to_string(control_port) +
                     " 127.0.0.1 NONE 1\n";
  for (size_t s = 0; s < services.size(); ++s) {
    services[s] = kiv_test::free_port();
    rows += "S" + std::to_string(s + 1) + " " + std::to_string(services[s]) + " " +
            std::to_string(server_port) + " 127.0.0.1 NONE 1\n";
  }
  write_file(folder + "/kiv.cnf", rows);
  ForwarderProcess agent = start("kiv-agentd", {KIV_AGENTD_PATH}, folder, control_port);
  for (uint16_t port : services) {
    if (!wait_listening(port, 10000)) fprintf(stderr, "kiv-agentd does not listen on %u\n", port);
  }
  return agent;
}

ForwarderProcess start_socat(const std::string& folder, uint16_t server_port) {
  uint16_t port = kiv_test::free_port();
  return start("socat",
               {"/usr/bin/socat", "TCP4-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
                "TCP4:127.0.0.1:" + std::to_string(server_port)},
               folder, port);
}

ForwarderProcess start_rinetd(const std::string& folder, uint16_t server_port) {
  uint16_t port = kiv_test::free_port();
  std::string config = folder + "/rinetd.conf";
  write_file(config, "127.0.0.1 " + std::to_string(port) + " 127.0.0.1 " +
                         std::to_string(server_port) + "\n");
  return start("rinetd", {"/usr/sbin/rinetd", "-f", "-c", config}, folder, port);
}

ForwarderProcess start_redis_server(const std::string& folder) {
  uint16_t port = kiv_test::free_port();
  return start("redis-server",
               {"/usr/bin/redis-server", "--bind", "127.0.0.1", "--port", std::to_string(port),
                "--save", "", "--appendonly", "no"},
               folder, port);
}

void stop_forwarder(ForwarderProcess& forwarder) {
  if (forwarder.pid <= 0) return;
  kill(-forwarder.pid, SIGTERM);
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (waitpid(forwarder.pid, nullptr, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(-forwarder.pid, SIGKILL);
      waitpid(forwarder.pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Children it forked (socat) may outlive their leader for a moment.
  kill(-forwarder.pid, SIGKILL);
  forwarder.pid = -1;
}

bool wait_listening(uint16_t port, int deadline_ms) {
  char wanted[16];
  snprintf(wanted, sizeof wanted, ":%04X ", port);
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  while (Clock::now() < deadline) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
      // local_address is the second field, the state (0A: listening) the fourth.
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && (local + " ").find(wanted) != std::string::npos) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

ProcessTreeUsage measure_process_tree(pid_t root) {
  ProcessTreeUsage usage;
  if (root <= 0) return usage;
  for (pid_t pid : process_tree(root)) {
    std::map<std::string, long> status = status_fields(pid);
    usage.resident_kib += status["VmRSS"];
    usage.threads += static_cast<int>(status["Threads"]);
    usage.proportional_kib += proportional_kib(pid);
    usage.descriptors += descriptor_count(pid);
    ++usage.processes;
  }
  return usage;
}

bool wait_idle(const ForwarderProcess& forwarder, const ProcessTreeUsage& idle, int deadline_ms) {
  if (forwarder.pid <= 0) return true;
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  while (Clock::now() < deadline) {
    ProcessTreeUsage now = measure_process_tree(forwarder.pid);
    if (now.threads <= idle.threads && now.processes <= idle.processes &&
        now.descriptors <= idle.descriptors) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

bool wait_log_quiet(const ForwarderProcess& forwarder, int quiet_ms, int deadline_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  auto size = [&forwarder] {
    std::ifstream log(forwarder.log_file, std::ios::ate);
    return static_cast<long>(log.tellg());
  };
  long last_size = size();
  Clock::time_point last_change = Clock::now();
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long now_size = size();
    if (now_size != last_size) {
      last_size = now_size;
      last_change = Clock::now();
    } else if (Clock::now() - last_change >= std::chrono::milliseconds(quiet_ms)) {
      return true;
    }
  }
  return false;
}

int log_lines_with(const ForwarderProcess& forwarder, const std::string& text) {
  std::ifstream log(forwarder.log_file);
  std::string line;
  int count = 0;
  while (std::getline(log, line)) count += line.find(text) != std::string::npos;
  return count;
}

std::map<pid_t, long> task_context_switches(pid_t pid) {
  std::map<pid_t, long> switches;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* folder = opendir(tasks.c_str());
  if (folder == nullptr) return switches;
  while (dirent* entry = readdir(folder)) {
    pid_t task = atoi(entry->d_name);
    if (task <= 0) continue;
    std::map<std::string, long> status = status_fields(task);
    switches[task] = status["voluntary_ctxt_switches"] + status["nonvoluntary_ctxt_switches"];
  }
  closedir(folder);
  return switches;
}

double cpu_seconds(pid_t pid) {
  if (pid <= 0) return 0;
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(file, stat);
  size_t end_of_name = stat.rfind(')');
  if (end_of_name == std::string::npos) return 0;
  // After the name: state and 10 more fields, then utime, stime, cutime, cstime.
  std::istringstream rest(stat.substr(end_of_name + 2));
  std::string skipped;
  for (int field = 0; field < 11; ++field) rest >> skipped;
  long long ticks = 0;
  for (int field = 0; field < 4; ++field) {
    long long value = 0;
    rest >> value;
    ticks += value;
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long open_file_limit(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(file, line)) {
    if (line.compare(0, 14, "Max open files") == 0) return atol(line.c_str() + 26);
  }
  return -1;
}

std::string first_output_line(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "";
  char line[256] = "";
  if (fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
  pclose(pipe);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace kiv_bench
