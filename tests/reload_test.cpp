// Reloading kiv.cnf, as kiv-agentd does on SIGHUP, with the whole agent in
// this process so that every service thread is seen counted.

#include <gtest/gtest.h>

#include <atomic>

#include "core/config_file.h"
#include "core/lifecycle.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

std::atomic<int> threads_after_reload[2], reloads{0};

void reload() {
  kiv::load_service_table();
  kiv::after_configuration(1);
  threads_after_reload[reloads++ % 2] = kiv::thread_count.load();
}

// The first of two queued reloads restarts at once; the second must count
// the threads it started (running yet or not) and wait, not start them twice.
TEST(Reload, TwoReloadsInARowStartEachServiceOnce) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t ports[5];
  std::string disabled, enabled;
  for (int i = 0; i < 5; ++i) {
    std::string name = "S" + std::to_string(i);
    disabled += config_line(name, ports[i] = free_port(), remote.port(), "127.0.0.1", "NONE", 0);
    enabled += config_line(name, ports[i], remote.port());
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
    EXPECT_EQ(agent.row(i).errors_o, 0u) << i;
    EXPECT_EQ(agent.row(i).state, kiv::SVC_READY) << i;
    EXPECT_EQ(round_trip(ports[i], "x"), "x") << i;
  }
}

}  // namespace
}  // namespace kiv_test
