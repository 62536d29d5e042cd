#include "bench/bench_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/loopback.h"

namespace kiv_bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t SEND_BLOCK = 128 * 1024;
constexpr int STREAM_TIMEOUT_MS = 60000;
constexpr int ANSWER_DEADLINE_MS = 20000;

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
