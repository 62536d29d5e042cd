// Reloading kiv.cnf, as an operator does on SIGHUP, with the whole agent in
// this process so that every service thread is seen counted.

#include <gtest/gtest.h>

#include <atomic>

#include "core/config_file.h"
#include "core/lifecycle.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

// Service threads counted right after each reload, on the window thread.
std::atomic<int> threads_after_reload[2];
std::atomic<int> reloads{0};

// What kiv-agentd does on SIGHUP.
void reload() {
  kiv::load_service_table();
  kiv::after_configuration(1);
  threads_after_reload[reloads++ % 2] = kiv::thread_count.load();
}

// Two reloads queued one behind the other while no service thread runs: the
// first restarts at once, and the threads it starts are already counted
// when the second looks (whether they have begun to run or not), so the
// second waits for them to wind down instead of starting every service twice.
TEST(Reload, TwoReloadsInARowStartEachServiceOnce) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t ports[5];
  std::string disabled, enabled;
  for (int i = 0; i < 5; ++i) {
    ports[i] = free_port();
    disabled += config_line("S" + std::to_string(i), ports[i], remote.port(), "127.0.0.1", "NONE", 0);
    enabled += config_line("S" + std::to_string(i), ports[i], remote.port());
  }
  folder.write("kiv.cnf", disabled);
  InProcessAgent agent(folder);
  ASSERT_TRUE(agent.wait_until_idle(0));
  folder.write("kiv.cnf", enabled);
  agent.post(reload);
  agent.post(reload);
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 2));
  ASSERT_TRUE(agent.wait_until_idle(5));
  EXPECT_EQ(threads_after_reload[0], 5);
  EXPECT_EQ(threads_after_reload[1], 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(agent.row(i).errors_o, 0u) << "row " << i;
    EXPECT_EQ(agent.row(i).state, kiv::SVC_READY) << "row " << i;
    EXPECT_EQ(round_trip(ports[i], "x"), "x") << "row " << i;
  }
}

}  // namespace
}  // namespace kiv_test
