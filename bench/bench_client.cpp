#include "bench/bench_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "tests/loopback.h"

namespace kiv_bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t SEND_BLOCK = 128 * 1024;
constexpr int STREAM_TIMEOUT_MS = 60000;
constexpr int ANSWER_DEADLINE_MS = 20000;
constexpr int SHORT_CONNECTION_TIMEOUT_MS = 5000;
constexpr auto BURST_DEADLINE = std::chrono::seconds(60);
constexpr auto STEADY_LATE = std::chrono::seconds(1);
constexpr auto STEADY_GRACE = std::chrono::seconds(10);
constexpr char CONTROL_BANNER[] = "KIV Agent v1.4b\n";
constexpr auto NEW_CLIENT_EVERY = std::chrono::milliseconds(5);
constexpr int RESTART_CONNECT_TIMEOUT_MS = 50;

void set_send_timeout(int fd, int timeout_ms) {
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// A stream connected through to the sink, which has answered that it
// expects `bytes`; -1 when that failed.
int open_stream(uint16_t port, uint64_t bytes) {
  int fd = kiv_test::connect_loopback(port, 0);
  if (fd < 0) return -1;
  kiv_test::set_receive_timeout(fd, STREAM_TIMEOUT_MS);
  set_send_timeout(fd, STREAM_TIMEOUT_MS);
  if (!kiv_test::send_bytes(fd, "S" + std::to_string(bytes) + "\n") ||
      kiv_test::receive(fd, 1) != "R") {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_stream(int fd, uint64_t bytes, const std::string& block) {
  while (bytes > 0) {
    size_t size = bytes < block.size() ? static_cast<size_t>(bytes) : block.size();
    if (!kiv_test::send_bytes(fd, size == block.size() ? block : block.substr(0, size))) return false;
    bytes -= size;
  }
  return kiv_test::receive(fd, 1) == "K";
}

// A client connected to 127.0.0.1:port, or -1 when the connect failed or
// took longer than `timeout_ms` (a listener whose backlog is full drops the
// SYN, and a blocking connect would wait for its resends).
int connect_within(uint16_t port, int timeout_ms) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  set_send_timeout(fd, timeout_ms);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

double stream_throughput(uint16_t port, int streams, uint64_t total_bytes) {
  const uint64_t each = total_bytes / static_cast<uint64_t>(streams);
  const std::string block = kiv_test::random_bytes(SEND_BLOCK, 11);
  std::vector<int> fds;
  for (int i = 0; i < streams; ++i) {
    int fd = open_stream(port, each);
    if (fd < 0) break;
    fds.push_back(fd);
  }
  bool all_open = static_cast<int>(fds.size()) == streams;
  std::atomic<bool> all_sent{all_open};
  Clock::time_point start = Clock::now();
  if (all_open) {
    std::vector<std::thread> senders;
    for (int fd : fds) {
      senders.emplace_back([fd, each, &block, &all_sent] {
        if (!send_stream(fd, each, block)) all_sent = false;
      });
    }
    for (std::thread& sender : senders) sender.join();
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (int fd : fds) close(fd);
  return all_sent ? static_cast<double>(each * fds.size()) / seconds : 0;
}

double connect_and_echo_us(uint16_t port) {
  Clock::time_point start = Clock::now();
  int fd = kiv_test::connect_loopback(port, 0);
  if (fd < 0) return -1;
  kiv_test::set_receive_timeout(fd, 5000);
  bool echoed = kiv_test::send_bytes(fd, "E") && kiv_test::receive(fd, 1) == "E";
  double elapsed = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  close(fd);
  return echoed ? elapsed : -1;
}

EchoUnderLoad echo_under_streams(uint16_t port, int streams, uint64_t stream_bytes) {
  EchoUnderLoad result;
  int fd = kiv_test::connect_loopback(port, 0);
  if (fd < 0) return result;
  kiv_test::set_receive_timeout(fd, 5000);
  std::atomic<bool> streaming{true};
  std::thread load([&] {
    stream_throughput(port, streams, stream_bytes);
    streaming = false;
  });
  std::vector<double> samples;
  Clock::time_point next = Clock::now();
  while (streaming) {
    std::this_thread::sleep_until(next);
    next += std::chrono::milliseconds(1);
    Clock::time_point start = Clock::now();
    if (!kiv_test::send_bytes(fd, "E") || kiv_test::receive(fd, 1) != "E") break;
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  load.join();
  close(fd);
  if (samples.empty()) return result;
  result.median_us = percentile(samples, 0.5);
  result.p99_us = percentile(samples, 0.99);
  return result;
}

RedisRates redis_benchmark(uint16_t port, int clients, int requests) {
  RedisRates rates;
  std::string command = "redis-benchmark -q -h 127.0.0.1 -p " + std::to_string(port) + " -c " +
                        std::to_string(clients) + " -n " + std::to_string(requests) +
                        " -t set,get 2>/dev/null | tr '\\r' '\\n' | grep 'requests per second'";
  FILE* output = popen(command.c_str(), "r");
  if (output == nullptr) return rates;
  char line[512];
  while (fgets(line, sizeof line, output) != nullptr) {
    // "SET: 81234.56 requests per second, p50=0.303 msec"
    std::string text = line;
    double rate = atof(text.c_str() + text.find(':') + 1);
    if (text.compare(0, 4, "SET:") == 0) rates.set_per_s = rate;
    if (text.compare(0, 4, "GET:") == 0) rates.get_per_s = rate;
  }
  pclose(output);
  return rates;
}

bool order_reset(uint16_t control_port) {
  int control = kiv_test::connect_loopback(control_port, 0);
  if (control < 0) return false;
  kiv_test::set_receive_timeout(control, 5000);
  const std::string banner = CONTROL_BANNER;
  bool ordered = kiv_test::receive(control, banner.size()) == banner &&
                 kiv_test::send_bytes(control, "RESET\r\n") &&
                 kiv_test::receive(control).compare(0, 8, "RESET OK") == 0;
  close(control);
  return ordered;
}

bool echoes_before(uint16_t port, Clock::time_point deadline) {
  std::vector<pollfd> waiting;
  bool echoed = false;
  Clock::time_point next_client = Clock::now();
  while (!echoed && Clock::now() < deadline) {
    if (Clock::now() >= next_client) {
      next_client += NEW_CLIENT_EVERY;
      int fd = connect_within(port, RESTART_CONNECT_TIMEOUT_MS);
      if (fd >= 0 && kiv_test::send_bytes(fd, "E")) {
        waiting.push_back(pollfd{fd, POLLIN, 0});
      } else if (fd >= 0) {
        close(fd);
      }
    }
    if (poll(waiting.data(), waiting.size(), 1) <= 0) continue;
    std::vector<pollfd> still;
    for (const pollfd& entry : waiting) {
      char answer = 0;
      if (entry.revents == 0) {
        still.push_back(pollfd{entry.fd, POLLIN, 0});
      } else {
        echoed = echoed || (recv(entry.fd, &answer, 1, 0) == 1 && answer == 'E');
        close(entry.fd);
      }
    }
    waiting.swap(still);
  }
  for (const pollfd& entry : waiting) close(entry.fd);
  return echoed;
}

namespace {

// Connect, 1-byte echo and close, each step given up after a few seconds.
bool short_connection(uint16_t port) {
  int fd = connect_within(port, SHORT_CONNECTION_TIMEOUT_MS);
  if (fd < 0) return false;
  kiv_test::set_receive_timeout(fd, SHORT_CONNECTION_TIMEOUT_MS);
  bool echoed = kiv_test::send_bytes(fd, "E") && kiv_test::receive(fd, 1) == "E";
  close(fd);
  return echoed;
}

// Runs `connection` for every ticket from 0 to `tickets` - 1 on `clients`
// threads; the connections that failed, and those whose ticket came up
// after `deadline`, which are not tried.
int run_connections(int tickets, int clients, Clock::time_point deadline,
                    const std::function<bool(int)>& connection) {
  std::atomic<int> next{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      for (int ticket = next++; ticket < tickets; ticket = next++) {
        if (Clock::now() > deadline || !connection(ticket)) ++failed;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return failed;
}

}  // namespace

ConnectionRate connection_burst(uint16_t port, int connections, int clients) {
  const Clock::time_point start = Clock::now();
  ConnectionRate rate;
  rate.failed = run_connections(connections, clients, start + BURST_DEADLINE,
                                [port](int) { return short_connection(port); });
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  rate.per_second = (connections - rate.failed) / seconds;
  return rate;
}

ConnectionRate steady_connections(uint16_t port, int per_second, int seconds, int clients) {
  const Clock::time_point start = Clock::now();
  const int connections = per_second * seconds;
  auto due = [start, per_second](int ticket) {
    return start + std::chrono::microseconds(1000000LL * ticket / per_second);
  };
  ConnectionRate rate;
  // A connection that cannot start within a second of its time counts as
  // failed, so that a forwarder that stalls cannot stretch the run.
  rate.failed = run_connections(connections, clients, due(connections) + STEADY_GRACE,
                                [&](int ticket) {
                                  std::this_thread::sleep_until(due(ticket));
                                  if (Clock::now() > due(ticket) + STEADY_LATE) return false;
                                  return short_connection(port);
                                });
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  rate.per_second = (connections - rate.failed) / elapsed;
  return rate;
}

SilentClients::SilentClients(uint16_t port, int count) {
  for (int i = 0; i < count; ++i) {
    int fd = kiv_test::connect_loopback(port, 0);
    if (fd < 0) break;
    fds_.push_back(fd);
  }
}

SilentClients::~SilentClients() {
  for (int fd : fds_) close(fd);
}

HeldRelays::~HeldRelays() {
  for (int fd : fds_) close(fd);
}

bool HeldRelays::open_until(int count) {
  while (open() < count) {
    int fd = kiv_test::connect_loopback(port_, 0);
    if (fd < 0) return false;
    kiv_test::set_receive_timeout(fd, 5000);
    if (!kiv_test::send_bytes(fd, "E") || kiv_test::receive(fd, 1) != "E") {
      close(fd);
      return false;
    }
    fds_.push_back(fd);
  }
  return true;
}

int HeldRelays::answering() {
  // Every relay is asked first and the answers collected as they come, within
  // one deadline for them all.
  std::vector<pollfd> waiting;
  for (int fd : fds_) {
    if (kiv_test::send_bytes(fd, "a")) waiting.push_back(pollfd{fd, POLLIN, 0});
  }
  int answered = 0;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ANSWER_DEADLINE_MS);
  while (!waiting.empty() && Clock::now() < deadline) {
    if (poll(waiting.data(), waiting.size(), 100) <= 0) continue;
    std::vector<pollfd> still;
    for (const pollfd& entry : waiting) {
      if (entry.revents == 0) {
        still.push_back(pollfd{entry.fd, POLLIN, 0});
        continue;
      }
      char answer = 0;
      answered += recv(entry.fd, &answer, 1, 0) == 1 && answer == 'a';
    }
    waiting.swap(still);
  }
  return answered;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace kiv_bench
