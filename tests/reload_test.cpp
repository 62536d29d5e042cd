// Reloading kiv.cnf, as an operator does on SIGHUP, with the whole agent in
// this process so that every service thread is seen counted.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "core/config_file.h"
#include "core/lifecycle.h"
#include "tests/agent_process.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

std::string five_services(const std::vector<uint16_t>& ports, uint16_t remote, int enabled) {
  std::string text;
  for (size_t i = 0; i < ports.size(); ++i) {
    text += config_line("S" + std::to_string(i), ports[i], remote, "127.0.0.1", "NONE", enabled);
  }
  return text;
}

// Service threads counted right after each reload, on the window thread.
std::atomic<int> threads_after_reload[2];
std::atomic<int> reloads{0};

// What kiv-agentd does on SIGHUP.
void reload() {
  kiv::load_service_table();
  kiv::after_configuration(1);
  threads_after_reload[reloads++] = kiv::thread_count.load();
}

// Two reloads queued one behind the other while no service thread runs: the
// first restarts at once, and the threads it starts are already counted
// when the second looks (whether they have begun to run or not), so the
// second waits for them to wind down instead of starting every service twice.
TEST(Reload, TwoReloadsInARowStartEachServiceOnce) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  std::vector<uint16_t> ports;
  for (int i = 0; i < 5; ++i) ports.push_back(free_port());
  folder.write("kiv.cnf", five_services(ports, remote.port(), 0));
  InProcessAgent agent(folder);
  ASSERT_TRUE(agent.wait_until_idle(0));

  folder.write("kiv.cnf", five_services(ports, remote.port(), 1));
  agent.post(reload);
  agent.post(reload);
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 2));
  ASSERT_TRUE(agent.wait_until_idle(5));
  EXPECT_EQ(threads_after_reload[0], 5);
  EXPECT_EQ(threads_after_reload[1], 5);
  for (const std::string& event : agent.events()) {
    EXPECT_EQ(event.find("Can't bind"), std::string::npos) << event;
  }
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(agent.row(i).errors_o, 0u) << "row " << i;
    EXPECT_EQ(agent.row(i).state, kiv::SVC_READY) << "row " << i;
    int client = connect_loopback(ports[i]);
    ASSERT_GE(client, 0);
    send_bytes(client, "x");
    EXPECT_EQ(receive_exactly(client, 1), "x") << "row " << i;
    close(client);
  }
}

}  // namespace
}  // namespace kiv_test
