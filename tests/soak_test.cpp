// A soak of the agent run in this process: started by two reloads queued back to back (as SIGHUP
// orders them), then many clients through two services (one translating) half-close at random moments
// while the control port orders reset after reset. KIV_SOAK_SECONDS sets its length (60 s when unset).

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "core/config_file.h"
#include "agent/lifecycle.h"
#include "forward/conversion_tables.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

TEST(Soak, ManyClientsFaultsAndResetsLoseNothingAndLeakNothing) {
  const char* seconds = getenv("KIV_SOAK_SECONDS");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds ? atoi(seconds) : 60);
  TempFolder folder;
  LoopbackServer echo(echo_handler);
  uint16_t ports[3] = {free_port(), free_port(), free_port()};
  folder.write("kiv.cnf", "");
  InProcessAgent agent(folder);
  folder.write("kiv.cnf", config_line("S1", ports[0], echo.port()) + config_line("S2", ports[1], echo.port(), "127.0.0.1",
                              "WINDOWS") + config_line("KIV", ports[2], ports[2], "0.0.0.0"));
  // The second must count the services the first started (running yet or not), not start them twice.
  agent.post([] { for (int i = 0; i < 2; ++i) kiv::load_service_table(), kiv::after_configuration(1); });
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 2) && agent.wait_until_idle(3));
  for (uint16_t port : ports) ASSERT_TRUE(eventually([port] { return port_listening(port); }));
  const int idle_descriptors = descriptor_total(getpid()), idle_threads = thread_total(getpid());
  [[maybe_unused]] const long start_kib = (malloc_trim(0), resident_kib(getpid()));
  // Per service, the relays that came back whole and their bytes. A client that got nothing back was
  // dropped by a reset before the agent took it; anything else is broken.
  std::atomic<uint32_t> relayed[2] = {}, bytes[2] = {}, broken{0}, resets{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 40; ++c) {
    clients.emplace_back([&, c] {
      for (std::mt19937 random(1000 + c); std::chrono::steady_clock::now() < end;) {
        const int s = random() % 2;
        std::string request = random_bytes(random() % (512 * 1024 + 1), random()), expected = request, got;
        for (char& b : expected) b = s == 0 ? b : kiv::WINDOWS_READ_TABLE[kiv::WINDOWS_WRITE_TABLE[uint8_t(b)]];
        int fd = connect_loopback(ports[s], 30000);
        std::thread reader([&] { got = receive(fd); });
        send_bytes(fd, request);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 3 == 0 ? random() % 1500 : 0));
        shutdown(fd, SHUT_WR);
        reader.join();
        close(fd);
        if (got == expected) ++relayed[s], bytes[s] += request.size();
        else if (!got.empty()) ++broken;
      }
    });
  }
  for (std::mt19937 random(7); std::chrono::steady_clock::now() < end; ++resets) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3000 + random() % 5000));
    int fd = connect_loopback(ports[2], 30000);
    EXPECT_EQ((receive(fd, 16), send_bytes(fd, "RESET\r\n"), receive(fd)), "RESET OK\n");
    close(fd);
    // The next reset can only be ordered once this one has restarted the agent.
    eventually([&] { return agent.event_count("Resetting KIV...") > static_cast<int>(resets) + 2; }, 60000);
  }
  for (std::thread& client : clients) client.join();

  ASSERT_TRUE(agent.wait_until_idle(3, 120000));
  // At most: lookup threads of an earlier test of this process may have ended meanwhile.
  EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) <= idle_descriptors && thread_total(getpid()) <= idle_threads; }));
  EXPECT_EQ(broken + 1000 * (agent.event_count("Resetting KIV...") - resets - 2), 0u);
  for (int s = 0; s < 2; ++s) {
    // Echoed relays, each ended well once: every byte each way, no error (nor a service started twice).
    const kiv::ServiceRecord& row = agent.row(s);
    const uint64_t ended_well = agent.event_count("S" + std::to_string(s + 1) + " - Connection closed(0)");
    EXPECT_EQ((std::vector<uint64_t>{row.connections, ended_well, row.bytes_written, row.bytes_read, row.errors_t + row.errors_o}),
              (std::vector<uint64_t>{relayed[s], relayed[s], bytes[s], bytes[s], 0})) << "S" << s + 1;
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  malloc_trim(0);  // a leak per relay would leave far more than this
  EXPECT_LT(resident_kib(getpid()) - start_kib, 64 * 1024);
#endif
}

}  // namespace
}  // namespace kiv_test
