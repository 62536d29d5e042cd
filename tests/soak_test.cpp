// A soak under load, with the whole agent in this process: many clients at
// once through two services, one of them translating, with random sizes and
// moments of half-close, and resets ordered again and again on the control
// port. Every byte that should arrive arrives, the counters agree with the
// clients, and the agent is back at rest with the descriptors, threads and
// memory it started with. It runs for KIV_SOAK_SECONDS seconds (60 when unset).

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <random>

#include "forward/conversion_tables.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

// What the clients of one service did. A connection that got nothing back
// was dropped by a reset before the agent took it; anything else short of
// what was expected is broken.
struct Tally {
  std::atomic<uint32_t> relayed{0}, dropped{0};
  std::atomic<uint64_t> bytes{0};  // each way
};
std::mutex breakages_guard;
std::string breakages;  // guarded by breakages_guard

// Sends `request` through an echo behind `port`, half-closing after `half_close_ms`.
void exchange(Tally& tally, uint16_t port, const std::string& request, const std::string& expected, int half_close_ms) {
  int fd = connect_loopback(port, 30000);
  std::string got;
  int end = -1;
  std::thread reader([&] {
    char block[65536];
    ssize_t n;
    while ((n = recv(fd, block, sizeof block, 0)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) got.append(block, static_cast<size_t>(n));
    }
    end = n == 0 ? 0 : errno;
  });
  send_bytes(fd, request);
  std::this_thread::sleep_for(std::chrono::milliseconds(half_close_ms));
  shutdown(fd, SHUT_WR);
  reader.join();
  close(fd);
  if (end == 0 && got == expected) {
    ++tally.relayed;
    tally.bytes += request.size();
  } else if (got.empty()) {
    ++tally.dropped;
  } else {
    std::lock_guard<std::mutex> lock(breakages_guard);
    breakages += std::to_string(port) + ": " + std::to_string(got.size()) + " of " + std::to_string(expected.size()) +
                 " bytes, then end " + std::to_string(end) + "\n";
  }
}

TEST(Soak, ManyClientsFaultsAndResetsLoseNothingAndLeakNothing) {
  const int seconds = getenv("KIV_SOAK_SECONDS") != nullptr ? atoi(getenv("KIV_SOAK_SECONDS")) : 60;
  TempFolder folder;
  LoopbackServer echo(echo_handler);
  uint16_t ports[2] = {free_port(), free_port()}, control = free_port();
  folder.write("kiv.cnf", config_line("S1", ports[0], echo.port()) +
                              config_line("S2", ports[1], echo.port(), "127.0.0.1", "WINDOWS") +
                              config_line("KIV", control, control, "0.0.0.0"));
  InProcessAgent agent(folder);
  ASSERT_TRUE(eventually([&] { return port_listening(ports[0]) && port_listening(ports[1]) && port_listening(control); }));
  const pid_t self = getpid();
  const int idle_descriptors = descriptor_total(self), idle_threads = thread_total(self);
  malloc_trim(0);
  [[maybe_unused]] const long start_kib = resident_kib(self);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  auto running = [deadline] { return std::chrono::steady_clock::now() < deadline; };
  Tally tallies[2];
  std::atomic<int> resets{0}, failed_resets{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 40; ++c) {
    clients.emplace_back([&, c] {
      std::mt19937 random(1000 + c);
      while (running()) {
        std::string request = random_bytes(random() % (512 * 1024 + 1), random()), expected = request;
        int half_close_ms = static_cast<int>(random() % 3 == 0 ? random() % 1500 : 0);
        int s = static_cast<int>(random() % 2);
        for (char& byte : expected) {
          if (s == 1) byte = static_cast<char>(kiv::WINDOWS_READ_TABLE[kiv::WINDOWS_WRITE_TABLE[static_cast<uint8_t>(byte)]]);
        }
        exchange(tallies[s], ports[s], request, expected, half_close_ms);
      }
    });
  }
  std::thread resetter([&] {
    std::mt19937 random(7);
    while (running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(3000 + random() % 5000));
      int fd = connect_loopback(control, 30000);
      bool ordered = receive(fd, 16) == "KIV Agent v1.4b\n" && send_bytes(fd, "RESET\r\n") && receive(fd) == "RESET OK\n";
      close(fd);
      if (!ordered) {
        ++failed_resets;
        continue;
      }
      // The next reset can only be ordered once this one has restarted the agent.
      ++resets;
      eventually([&] { return agent.event_count("Resetting KIV...") >= resets; }, 60000);
    }
  });
  for (std::thread& client : clients) client.join();
  resetter.join();

  ASSERT_TRUE(agent.wait_until_idle(3, 120000));
  EXPECT_TRUE(eventually([&] { return descriptor_total(self) == idle_descriptors; }))
      << descriptor_total(self) << " descriptors open, " << idle_descriptors << " at rest";
  EXPECT_TRUE(eventually([&] { return thread_total(self) == idle_threads; }))
      << thread_total(self) << " threads, " << idle_threads << " at rest";
  EXPECT_EQ(breakages, "");
  EXPECT_EQ(failed_resets, 0);
  EXPECT_EQ(agent.event_count("Resetting KIV..."), resets.load());
  for (int r = 0; r < 2; ++r) {
    kiv::ServiceRecord& s = agent.row(r);
    std::string name = "S" + std::to_string(r + 1);
    SCOPED_TRACE(name + ": " + std::to_string(tallies[r].dropped) + " dropped by resets");
    // Echoed relays: every byte each way, nothing counted as an error, each relay ended once.
    EXPECT_EQ(s.connections, tallies[r].relayed);
    EXPECT_EQ(s.bytes_written, static_cast<uint32_t>(tallies[r].bytes));
    EXPECT_EQ(s.bytes_read, static_cast<uint32_t>(tallies[r].bytes));
    EXPECT_EQ(s.errors_t + s.errors_o, 0u);
    EXPECT_EQ(static_cast<uint32_t>(agent.event_count(name + " - Connection closed(0)") +
                                    agent.event_count(name + " - Connection closed(-1)")),
              s.connections);
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // What a leak per relay would leave is far more than this.
  malloc_trim(0);
  EXPECT_LT(resident_kib(self) - start_kib, 64 * 1024);
#endif
}

}  // namespace
}  // namespace kiv_test
