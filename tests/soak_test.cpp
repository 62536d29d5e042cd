// A soak under load, with the whole agent in this process: many clients at
// once through three services, with random sizes, random moments of
// half-close, clients that reset mid-stream, and resets ordered again and
// again on the control port. At the end every byte that should have arrived
// has arrived, the counters agree with what the clients did, and the agent
// is back at rest with the descriptors, threads and memory it started with.
// It runs for KIV_SOAK_SECONDS seconds (60 when unset).

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <random>

#include "core/lifecycle.h"
#include "forward/conversion_tables.h"
#include "tests/agent_process.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

constexpr int kClients = 40;
constexpr int kIdleThreads = 4;  // three listeners and the control port
constexpr size_t kLargestRequest = 512 * 1024;

int soak_seconds() {
  const char* seconds = getenv("KIV_SOAK_SECONDS");
  return seconds != nullptr ? atoi(seconds) : 60;
}

// The remote host of the service that clients reset: it streams to its
// client until the relay drops it, and takes whatever the client sends.
void stream_and_drain(int fd) {
  std::thread drain([fd] {
    char block[65536];
    while (recv(fd, block, sizeof block, 0) > 0) {
    }
  });
  std::string block(65536, 's');
  for (int sent = 0; sent < 16384 && send_bytes(fd, block); ++sent) {
  }
  shutdown(fd, SHUT_RDWR);
  drain.join();
}

// How one client connection went.
enum class Outcome {
  Complete,  // relayed, and every byte arrived as it should
  Dropped,   // nothing came back: a reset closed the listener before the agent
             // took it, and the system ended it (with a reset, and on rare
             // occasions in order)
  Broken,    // anything else: a fault
};

// What the broken connections saw, for the failure message.
std::mutex breakages_guard;
std::vector<std::string> breakages;  // guarded by breakages_guard

Outcome broken(const std::string& what) {
  std::lock_guard<std::mutex> lock(breakages_guard);
  breakages.push_back(what);
  return Outcome::Broken;
}

// Reads until the end of the data: the bytes, and whether it ended in order.
bool receive_to_end(int fd, std::string& received) {
  char block[65536];
  for (;;) {
    ssize_t n = recv(fd, block, sizeof block, 0);
    if (n > 0) {
      received.append(block, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n == 0;
  }
}

// Sends `request` through an echo behind `port`, half-closing after
// `half_close_ms`, and compares what comes back with `expected`.
Outcome exchange(uint16_t port, const std::string& request, const std::string& expected,
                 int half_close_ms) {
  int fd = connect_loopback(port, 30000);
  if (fd < 0) return broken("port " + std::to_string(port) + " refused clients for 30 s");
  std::string received;
  bool in_order = false;
  int receive_error = 0;
  std::thread reader([&] {
    in_order = receive_to_end(fd, received);
    receive_error = errno;
  });
  send_bytes(fd, request);
  std::this_thread::sleep_for(std::chrono::milliseconds(half_close_ms));
  shutdown(fd, SHUT_WR);
  reader.join();
  close(fd);
  if (in_order && received == expected) return Outcome::Complete;
  if (received.empty()) return Outcome::Dropped;
  size_t same = static_cast<size_t>(
      std::mismatch(received.begin(), received.begin() + std::min(received.size(), expected.size()),
                    expected.begin())
          .first -
      received.begin());
  return broken("port " + std::to_string(port) + ": " + std::to_string(received.size()) + " of " +
                std::to_string(expected.size()) + " bytes back, the first " + std::to_string(same) +
                " right, " + (in_order ? "then the end" : "then error " + std::to_string(receive_error)));
}

// Sends `request`, reads `wanted` bytes of the endless stream, and resets.
Outcome reset_mid_stream(uint16_t port, const std::string& request, size_t wanted) {
  int fd = connect_loopback(port, 30000);
  if (fd < 0) return broken("port " + std::to_string(port) + " refused clients for 30 s");
  send_bytes(fd, request);
  std::string received = receive_exactly(fd, wanted);
  int receive_error = errno;
  close_with_reset(fd);
  if (received.size() == wanted) return Outcome::Complete;
  if (received.empty()) return Outcome::Dropped;
  return broken("port " + std::to_string(port) + ": " + std::to_string(received.size()) + " of " +
                std::to_string(wanted) + " streamed bytes, then error " +
                std::to_string(receive_error));
}

// What the clients of one service did.
struct Tally {
  std::atomic<uint32_t> relayed{0};
  std::atomic<uint64_t> bytes{0};  // each way for an echo; sent for the resets
  std::atomic<uint32_t> dropped{0};
  std::atomic<uint32_t> broken{0};
};

void count(Tally& tally, Outcome outcome, size_t size) {
  if (outcome == Outcome::Complete) {
    ++tally.relayed;
    tally.bytes += size;
  }
  if (outcome == Outcome::Dropped) ++tally.dropped;
  if (outcome == Outcome::Broken) ++tally.broken;
}

/// The highest values seen while the soak ran.
struct Peaks {
  std::atomic<int> descriptors{0};
  std::atomic<int> threads{0};
  std::atomic<int> connections{0};
  std::atomic<int> service_threads{0};
};

void raise_to(std::atomic<int>& peak, int value) {
  int seen = peak;
  while (value > seen && !peak.compare_exchange_weak(seen, value)) {
  }
}

TEST(Soak, ManyClientsFaultsAndResetsLoseNothingAndLeakNothing) {
  TempFolder folder;
  LoopbackServer echo(echo_handler);
  LoopbackServer stream(stream_and_drain);
  uint16_t plain = free_port();
  uint16_t translated = free_port();
  uint16_t resetting = free_port();
  uint16_t control = free_port();
  folder.write("kiv.cnf", config_line("S1", plain, echo.port(), "127.0.0.1", "NONE", 1) +
                              config_line("S2", translated, echo.port(), "127.0.0.1", "WINDOWS", 1) +
                              config_line("S3", resetting, stream.port(), "127.0.0.1", "NONE", 1) +
                              config_line("KIV", control, control, "0.0.0.0", "NONE", 1));
  InProcessAgent agent(folder);
  ASSERT_TRUE(eventually([&] {
    return port_listening(plain) && port_listening(translated) && port_listening(resetting) &&
           port_listening(control);
  }));
  const pid_t self = getpid();
  const int idle_descriptors = descriptor_total(self);
  const int idle_threads = thread_total(self);
  malloc_trim(0);
  const long start_kib = resident_kib(self);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(soak_seconds());
  auto running = [deadline] { return std::chrono::steady_clock::now() < deadline; };
  Tally plain_tally, translated_tally, reset_tally;
  std::atomic<int> resets{0};
  std::atomic<int> failed_resets{0};
  Peaks peaks;

  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      std::mt19937 random(1000 + c);
      for (int round = 0; round < 100000 && running(); ++round) {
        int kind = static_cast<int>(random() % 10);
        size_t size = random() % (kLargestRequest + 1);
        std::string request = random_bytes(size, random());
        int half_close_ms = static_cast<int>(random() % 3 == 0 ? random() % 1500 : 0);
        if (kind < 4) {
          count(plain_tally, exchange(plain, request, request, half_close_ms), size);
        } else if (kind < 8) {
          std::string expected = request;
          for (char& byte : expected) {
            uint8_t to_remote = kiv::WINDOWS_WRITE_TABLE[static_cast<uint8_t>(byte)];
            byte = static_cast<char>(kiv::WINDOWS_READ_TABLE[to_remote]);
          }
          count(translated_tally, exchange(translated, request, expected, half_close_ms), size);
        } else {
          request.resize(size % 65536);
          count(reset_tally, reset_mid_stream(resetting, request, 1 + random() % 1000000),
                request.size());
        }
      }
    });
  }
  std::thread resetter([&] {
    std::mt19937 random(7);
    for (int round = 0; round < 1000 && running(); ++round) {
      std::this_thread::sleep_for(std::chrono::milliseconds(3000 + random() % 5000));
      int fd = connect_loopback(control, 30000);
      if (fd < 0) {
        ++failed_resets;
        continue;
      }
      bool ordered = receive_exactly(fd, 16) == "KIV Agent v1.4b\n" && send_bytes(fd, "RESET\r\n") &&
                     receive_until_closed(fd) == "RESET OK\n";
      close(fd);
      if (!ordered) {
        ++failed_resets;
        continue;
      }
      ++resets;
      // The next reset can only be ordered once this one has restarted the agent.
      eventually([&] { return agent.event_count("Resetting KIV...") >= resets; }, 60000);
    }
  });
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling) {
      raise_to(peaks.descriptors, descriptor_total(self));
      raise_to(peaks.threads, thread_total(self));
      raise_to(peaks.connections, kiv::connection_count);
      raise_to(peaks.service_threads, kiv::thread_count);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  for (std::thread& client : clients) client.join();
  resetter.join();
  sampling = false;
  sampler.join();

  ASSERT_TRUE(agent.wait_until_idle(kIdleThreads, 120000));
  EXPECT_TRUE(eventually([&] { return descriptor_total(self) == idle_descriptors; }))
      << descriptor_total(self) << " descriptors open, " << idle_descriptors << " at rest";
  EXPECT_TRUE(eventually([&] { return thread_total(self) == idle_threads; }))
      << thread_total(self) << " threads, " << idle_threads << " at rest";
  malloc_trim(0);
  const long end_kib = resident_kib(self);

  kiv::ServiceRecord& s1 = agent.row(0);
  kiv::ServiceRecord& s2 = agent.row(1);
  kiv::ServiceRecord& s3 = agent.row(2);
  EXPECT_EQ(plain_tally.broken + translated_tally.broken + reset_tally.broken, 0u)
      << "plain " << plain << ", translated " << translated << ", resetting " << resetting << ":\n"
      << [] {
           std::string all;
           for (const std::string& what : breakages) all += what + "\n";
           return all;
         }();
  EXPECT_EQ(failed_resets, 0);
  EXPECT_EQ(agent.event_count("Resetting KIV..."), resets.load());
  // Echoed relays: every byte each way, and nothing counted as an error.
  EXPECT_EQ(s1.connections, plain_tally.relayed);
  EXPECT_EQ(s1.bytes_written, static_cast<uint32_t>(plain_tally.bytes));
  EXPECT_EQ(s1.bytes_read, static_cast<uint32_t>(plain_tally.bytes));
  EXPECT_EQ(s2.connections, translated_tally.relayed);
  EXPECT_EQ(s2.bytes_written, static_cast<uint32_t>(translated_tally.bytes));
  EXPECT_EQ(s2.bytes_read, static_cast<uint32_t>(translated_tally.bytes));
  EXPECT_EQ(s1.errors_t + s1.errors_o + s2.errors_t + s2.errors_o, 0u);
  // Reset relays end as failed, and the remote host is reset in turn; the
  // send to a vanished client fails at most once (unless its reset came first).
  EXPECT_EQ(s3.connections, reset_tally.relayed);
  EXPECT_EQ(agent.event_count("S3 - Connection closed(0)"), 0);
  EXPECT_LE(s3.errors_t, reset_tally.relayed);
  EXPECT_LE(s3.bytes_written, reset_tally.bytes);
  EXPECT_EQ(s3.errors_o, 0u);
  // Every relay taken ended once, whatever its outcome.
  for (const char* name : {"S1", "S2", "S3"}) {
    int closed = agent.event_count(std::string(name) + " - Connection closed(0)") +
                 agent.event_count(std::string(name) + " - Connection closed(-1)");
    EXPECT_EQ(static_cast<uint32_t>(closed), agent.row(name[1] - '1').connections) << name;
  }

  uint64_t relays = plain_tally.relayed + translated_tally.relayed + reset_tally.relayed;
  std::cout << "soak: " << soak_seconds() << " s, " << kClients << " clients, " << relays
            << " relays (" << plain_tally.relayed << " plain, " << translated_tally.relayed
            << " translated, " << reset_tally.relayed << " reset by their client), "
            << (plain_tally.bytes + translated_tally.bytes) << " bytes echoed each way, "
            << (plain_tally.dropped + translated_tally.dropped + reset_tally.dropped)
            << " connections dropped by " << resets << " resets\n"
            << "soak: peak " << peaks.connections << " open connections, " << peaks.service_threads
            << " service threads; process peak " << peaks.descriptors << " descriptors, "
            << peaks.threads << " threads; at rest " << idle_descriptors << " descriptors, "
            << idle_threads << " threads\n"
            << "soak: resident memory " << start_kib << " KiB at start, " << end_kib
            << " KiB at the end\n";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Freed memory is given back above; what a leak per relay would leave is
  // far more than this.
  EXPECT_LT(end_kib - start_kib, 64 * 1024);
#endif
}

}  // namespace
}  // namespace kiv_test
