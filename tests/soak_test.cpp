// A soak under load, with the whole agent in this process: many clients at
// once through two services, one of them translating, with random sizes and
// random moments of half-close, and resets ordered again and again on the
// control port. At the end every byte that should have arrived
// has arrived, the counters agree with what the clients did, and the agent
// is back at rest with the descriptors, threads and memory it started with.
// It runs for KIV_SOAK_SECONDS seconds (60 when unset).

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <random>

#include "core/lifecycle.h"
#include "forward/conversion_tables.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

constexpr int kClients = 40;
constexpr int kIdleThreads = 3;  // two listeners and the control port

// What the clients of one service did. A connection that got nothing back
// was dropped: a reset closed the listener before the agent took it, and the
// system ended it. Anything else short of what was expected is broken.
struct Tally {
  std::atomic<uint32_t> relayed{0};
  std::atomic<uint64_t> bytes{0};  // each way
  std::atomic<uint32_t> dropped{0};
};

std::mutex breakages_guard;
std::string breakages;  // guarded by breakages_guard

void count(Tally& tally, uint16_t port, size_t size, const std::string& got, const std::string& expected,
           bool in_order) {
  if (in_order && got == expected) {
    ++tally.relayed;
    tally.bytes += size;
  } else if (got.empty()) {
    ++tally.dropped;
  } else {
    std::lock_guard<std::mutex> lock(breakages_guard);
    breakages += "port " + std::to_string(port) + ": " + std::to_string(got.size()) + " of " +
                 std::to_string(expected.size()) + " bytes, " + (in_order ? "then the end" : "then an error") +
                 " (" + std::to_string(errno) + ")\n";
  }
}

// Sends `request` through an echo behind `port`, half-closing after
// `half_close_ms`, and counts how what came back compares with `expected`.
void exchange(Tally& tally, uint16_t port, const std::string& request, const std::string& expected,
              int half_close_ms) {
  int fd = connect_loopback(port, 30000);
  std::string received;
  bool in_order = false;
  std::thread reader([&] {
    char block[65536];
    for (ssize_t n; (n = recv(fd, block, sizeof block, 0)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return;
      received.append(block, static_cast<size_t>(n));
    }
    in_order = true;
  });
  send_bytes(fd, request);
  std::this_thread::sleep_for(std::chrono::milliseconds(half_close_ms));
  shutdown(fd, SHUT_WR);
  reader.join();
  close(fd);
  count(tally, port, request.size(), received, expected, in_order);
}

TEST(Soak, ManyClientsFaultsAndResetsLoseNothingAndLeakNothing) {
  const int seconds = getenv("KIV_SOAK_SECONDS") != nullptr ? atoi(getenv("KIV_SOAK_SECONDS")) : 60;
  TempFolder folder;
  LoopbackServer echo(echo_handler);
  uint16_t plain = free_port(), translated = free_port(), control = free_port();
  folder.write("kiv.cnf", config_line("S1", plain, echo.port()) +
                              config_line("S2", translated, echo.port(), "127.0.0.1", "WINDOWS") +
                              config_line("KIV", control, control, "0.0.0.0"));
  InProcessAgent agent(folder);
  ASSERT_TRUE(eventually([&] {
    return port_listening(plain) && port_listening(translated) && port_listening(control);
  }));
  const pid_t self = getpid();
  const int idle_descriptors = descriptor_total(self);
  const int idle_threads = thread_total(self);
  malloc_trim(0);
  const long start_kib = resident_kib(self);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  auto running = [deadline] { return std::chrono::steady_clock::now() < deadline; };
  Tally plain_tally, translated_tally;
  std::atomic<int> resets{0}, failed_resets{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      std::mt19937 random(1000 + c);
      while (running()) {

        std::string request = random_bytes(random() % (512 * 1024 + 1), random());
        int half_close_ms = static_cast<int>(random() % 3 == 0 ? random() % 1500 : 0);
        if (random() % 2 == 0) {
          exchange(plain_tally, plain, request, request, half_close_ms);
          continue;
        }
        std::string expected = request;
        for (char& byte : expected) {
          byte = static_cast<char>(kiv::WINDOWS_READ_TABLE[kiv::WINDOWS_WRITE_TABLE[static_cast<uint8_t>(byte)]]);
        }
        exchange(translated_tally, translated, request, expected, half_close_ms);
      }
    });
  }
  std::thread resetter([&] {
    std::mt19937 random(7);
    while (running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(3000 + random() % 5000));
      int fd = connect_loopback(control, 30000);
      bool ordered = receive(fd, 16) == "KIV Agent v1.4b\n" && send_bytes(fd, "RESET\r\n") &&
                     receive(fd) == "RESET OK\n";
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
  for (std::thread& client : clients) client.join();
  resetter.join();

  ASSERT_TRUE(agent.wait_until_idle(kIdleThreads, 120000));
  EXPECT_TRUE(eventually([&] { return descriptor_total(self) == idle_descriptors; }))
      << descriptor_total(self) << " descriptors open, " << idle_descriptors << " at rest";
  EXPECT_TRUE(eventually([&] { return thread_total(self) == idle_threads; }))
      << thread_total(self) << " threads, " << idle_threads << " at rest";
  malloc_trim(0);
  const long end_kib = resident_kib(self);

  kiv::ServiceRecord& s1 = agent.row(0);
  kiv::ServiceRecord& s2 = agent.row(1);
  EXPECT_EQ(breakages, "");
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
  // Every relay taken ended once, whatever its outcome.
  for (int r = 0; r < 2; ++r) {
    std::string name = "S" + std::to_string(r + 1);
    EXPECT_EQ(static_cast<uint32_t>(agent.event_count(name + " - Connection closed(0)") +
                                    agent.event_count(name + " - Connection closed(-1)")),
              agent.row(r).connections)
        << name;
  }
  std::cout << "soak: " << seconds << " s, " << plain_tally.relayed << " plain and " << translated_tally.relayed
            << " translated relays; " << (plain_tally.dropped + translated_tally.dropped) << " dropped by "
            << resets << " resets; resident " << start_kib << " KiB at start, " << end_kib << " KiB at the end\n";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Freed memory is given back above; what a leak per relay would leave is
  // far more than this.
  EXPECT_LT(end_kib - start_kib, 64 * 1024);
#endif
}

}  // namespace
}  // namespace kiv_test
