// Table files that are short, missing, a FIFO or changed while the agent
// runs, with the whole agent in this process so that errors_o can be read.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/in_process_agent.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

// A pair whose client-to-remote table adds `step` to every byte.
std::string shifting_pair(int step) {
  std::string pair(512, '\0');
  for (int b = 0; b < 256; ++b) pair[b] = static_cast<char>(b), pair[256 + b] = static_cast<char>(b + step);
  return pair;
}

// Opening a FIFO would wait for a writer: no relay may wait on it.
TEST(TableFaults, BadFilesRefuseEveryRelayAndChangedFilesCountOnlyAfterARestart) {
  TempFolder folder;
  folder.write("SHORT.ctb", shifting_pair(1).substr(0, 511));
  ASSERT_EQ(mkfifo(folder.file("PIPE.ctb").c_str(), 0644), 0);
  folder.write("X.ctb", shifting_pair(1));
  LoopbackServer remote(echo_handler);
  const char* tables[] = {"SHORT", "GONE", "PIPE", "X"};
  const char* errors[] = {"Error in file: SHORT.ctb", "Can't open file: GONE.ctb", "Can't open file: PIPE.ctb"};
  uint16_t ports[4];
  std::string config;
  for (int i = 0; i < 4; ++i) config += config_line("S" + std::to_string(i), ports[i] = free_port(), remote.port(), "127.0.0.1", tables[i]);
  folder.write("kiv.cnf", config);
  InProcessAgent agent(folder);
  for (int i = 0; i < 3; ++i) {
    for (int attempt = 1; attempt <= 2; ++attempt) EXPECT_EQ(round_trip(ports[i], "abc"), "") << tables[i];
    ASSERT_TRUE(agent.wait_for_event("S" + std::to_string(i) + " - Connection closed(-1)", 2));
    EXPECT_EQ(agent.event_count(errors[i]), 2);
    EXPECT_EQ(agent.row(i).errors_o, 2u);
    EXPECT_EQ(agent.row(i).errors_t, 0u);
    EXPECT_EQ(agent.row(i).state, kiv::SVC_ERROR);
  }
  EXPECT_EQ(remote.accepted(), 0);

  EXPECT_EQ(round_trip(ports[3], "abc"), "bcd");
  folder.write("X.ctb", shifting_pair(2));
  EXPECT_EQ(round_trip(ports[3], "abc"), "bcd");
  ASSERT_TRUE(agent.wait_until_idle(4));
  agent.request_reset();
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV..."));
  EXPECT_EQ(round_trip(ports[3], "abc"), "cde");
  EXPECT_TRUE(agent.wait_until_idle(4));
}

}  // namespace
}  // namespace kiv_test
