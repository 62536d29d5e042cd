// Reloading kiv.cnf, as kiv-agentd does on SIGHUP, with the whole agent in
// this process so that the reloads can be queued back to back.

#include <gtest/gtest.h>

#include "core/config_file.h"
#include "core/lifecycle.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

// The first of two queued reloads restarts at once; the second must count
// the threads it started (running yet or not) and wait, not start them twice.
TEST(Reload, TwoReloadsInARowStartEachServiceOnce) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t ports[5];
  std::string disabled, enabled;
  for (int i = 0; i < 5; ++i) {
    disabled += config_line("S" + std::to_string(i), ports[i] = free_port(), remote.port(), "127.0.0.1", "NONE", 0);
    enabled += config_line("S" + std::to_string(i), ports[i], remote.port());
  }
  folder.write("kiv.cnf", disabled);
  InProcessAgent agent(folder);
  folder.write("kiv.cnf", enabled);
  for (int i = 0; i < 2; ++i) agent.post([] { kiv::load_service_table(), kiv::after_configuration(1); });
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 2));
  ASSERT_TRUE(agent.wait_until_idle(5));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(round_trip(ports[i], "x"), "x") << i;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(agent.row(i).errors_o, 0u) << "S" << i << " started twice";
}

}  // namespace
}  // namespace kiv_test
