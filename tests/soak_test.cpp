// A soak of the agent run in this process: started by two reloads queued back to back (as SIGHUP
// orders them), then many clients through two services (one translating) half-close at random
// moments while the control port orders reset after reset. KIV_SOAK_SECONDS sets its length.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "agent/lifecycle.h"
#include "core/config_file.h"
#include "forward/conversion_tables.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"
#include "tests/translated.h"

namespace kiv_test {
namespace {

TEST(Soak, ManyClientsFaultsAndResetsLoseNothingAndLeakNothing) {
  const char* seconds = getenv("KIV_SOAK_SECONDS");
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::seconds(seconds != nullptr ? atoi(seconds) : 60);
  LoopbackServer echo(echo_handler);
  const uint16_t ports[3] = {free_port(), free_port(), free_port()};
  TempFolder folder;
  folder.write("kiv.cnf", "");
  InProcessAgent agent(folder);
  folder.write("kiv.cnf", config_line("S1", ports[0], echo.port()) +
                              config_line("S2", ports[1], echo.port(), "127.0.0.1", "WINDOWS") +
                              config_line("KIV", ports[2], ports[2], "0.0.0.0"));
  // The second counts the services the first started, running yet or not: none starts twice.
  agent.post([] {
    for (int i = 0; i < 2; ++i) {
      kiv::load_service_table();
      kiv::after_configuration(1);
    }
  });
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 2));
  ASSERT_TRUE(agent.wait_until_idle(3));
  for (uint16_t port : ports) ASSERT_TRUE(eventually([port] { return port_listening(port); }));
  const int idle_descriptors = descriptor_total(getpid());
  // Per service, the relays that came back whole and their bytes. A client
  // that got nothing back was dropped by a reset before the agent took it;
  // anything else short of its echo is broken.
  std::atomic<uint32_t> relays[2] = {};
  std::atomic<uint32_t> bytes[2] = {};
  std::atomic<uint32_t> broken{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 40; ++c) {
    clients.emplace_back([&, c] {
      std::mt19937 random(1000 + c);
      while (std::chrono::steady_clock::now() < end) {
        const int s = random() % 2;
        const std::string request = random_bytes(random() % (512 * 1024 + 1), random());
        int fd = connect_loopback(ports[s], 30000);
        std::string got;
        std::thread reader([&] { got = receive(fd); });
        send_bytes(fd, request);
        // A third of the clients take their time before they half-close.
        const int pause_ms = random() % 3 == 0 ? random() % 1500 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        shutdown(fd, SHUT_WR);
        reader.join();
        close(fd);
        // The echo behind S2 gets the request translated, and sends it back translated.
        const std::string to_echo = translated(request, kiv::WINDOWS_WRITE_TABLE);
        if (got == (s == 0 ? request : translated(to_echo, kiv::WINDOWS_READ_TABLE))) {
          ++relays[s];
          bytes[s] += request.size();
        } else if (!got.empty()) {
          ++broken;
        }
      }
    });
  }
  int resets = 0;
  for (std::mt19937 random(7); std::chrono::steady_clock::now() < end; ++resets) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3000 + random() % 5000));
    EXPECT_EQ(round_trip(ports[2], "RESET\r\n"), "KIV Agent v1.4b\nRESET OK\n");
    // The next reset can only be ordered once this one has restarted the agent.
    EXPECT_TRUE(agent.wait_for_event("Resetting KIV...", resets + 3, 60000));
  }
  for (std::thread& client : clients) client.join();

  ASSERT_TRUE(agent.wait_until_idle(3, 120000));
  EXPECT_EQ(broken, 0u);
  EXPECT_EQ(agent.event_count("Resetting KIV..."), resets + 2) << "a reset restarted twice";
  // At most: lookup threads of an earlier test of this process may have ended meanwhile.
  EXPECT_TRUE(eventually([&] { return descriptor_total(getpid()) <= idle_descriptors; }));
  for (int s = 0; s < 2; ++s) {
    // Echoed relays, each ended well once: every byte each way, no error.
    const kiv::ServiceRecord& row = agent.row(s);
    const std::string name = "S" + std::to_string(s + 1);
    const uint32_t ended_well = agent.event_count(name + " - Connection closed(0)");
    EXPECT_EQ(row.connections, relays[s]) << name << ": a client accepted, then cut";
    EXPECT_EQ(ended_well, relays[s]) << name;
    EXPECT_EQ(row.bytes_written, bytes[s]) << name;
    EXPECT_EQ(row.bytes_read, bytes[s]) << name;
    EXPECT_EQ(row.errors_t + row.errors_o, 0u) << name << ": an error, or a service started twice";
  }
}

}  // namespace
}  // namespace kiv_test
