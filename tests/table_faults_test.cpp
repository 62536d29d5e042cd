// Table files that are short, missing or changed while the agent runs, with
// the whole agent in this process so that errors_o can be read.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/lifecycle.h"
#include "tests/in_process_agent.h"
#include "tests/loopback.h"

namespace kiv_test {
namespace {

// A pair whose client-to-remote table adds `step` to every byte; the other
// direction is left unchanged.
std::string shifting_pair(int step) {
  std::string pair(512, '\0');
  for (int b = 0; b < 256; ++b) {
    pair[b] = static_cast<char>(b);
    pair[256 + b] = static_cast<char>(b + step);
  }
  return pair;
}

// A FIFO is no table file: opening it would wait for a writer, and no relay
// of any service may wait on it.
TEST(TableFaults, BadFilesRefuseEveryRelayAndChangedFilesCountOnlyAfterARestart) {
  TempFolder folder;
  folder.write("SHORT.ctb", shifting_pair(1).substr(0, 511));
  ASSERT_EQ(mkfifo(folder.file("PIPE.ctb").c_str(), 0644), 0);
  folder.write("X.ctb", shifting_pair(1));
  LoopbackServer remote(echo_handler);
  uint16_t short_port = free_port(), missing_port = free_port(), file_port = free_port(), fifo_port = free_port();
  folder.write("kiv.cnf", config_line("S1", short_port, remote.port(), "127.0.0.1", "SHORT") +
                              config_line("S2", missing_port, remote.port(), "127.0.0.1", "GONE") +
                              config_line("S3", file_port, remote.port(), "127.0.0.1", "X") +
                              config_line("S4", fifo_port, remote.port(), "127.0.0.1", "PIPE"));
  InProcessAgent agent(folder);
  for (int attempt = 1; attempt <= 2; ++attempt) {
    EXPECT_EQ(round_trip(fifo_port, "abc"), "");
    EXPECT_EQ(round_trip(short_port, "abc"), "");
    EXPECT_EQ(round_trip(missing_port, "abc"), "");
  }
  ASSERT_TRUE(agent.wait_for_event("S2 - Connection closed(-1)", 2));
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", 2));
  ASSERT_TRUE(agent.wait_for_event("S4 - Connection closed(-1)", 2));
  EXPECT_EQ(agent.event_count("Error in file: SHORT.ctb"), 2);
  EXPECT_EQ(agent.event_count("Can't open file: GONE.ctb"), 2);
  EXPECT_EQ(agent.event_count("Can't open file: PIPE.ctb"), 2);
  EXPECT_EQ(agent.row(3).errors_o, 2u);
  EXPECT_EQ(agent.row(0).errors_o, 2u);
  EXPECT_EQ(agent.row(1).errors_o, 2u);
  EXPECT_EQ(agent.row(0).errors_t + agent.row(1).errors_t, 0u);
  EXPECT_EQ(agent.row(0).state, kiv::SVC_ERROR);
  EXPECT_EQ(remote.accepted(), 0);

  EXPECT_EQ(round_trip(file_port, "abc"), "bcd");
  folder.write("X.ctb", shifting_pair(2));
  EXPECT_EQ(round_trip(file_port, "abc"), "bcd");
  ASSERT_TRUE(agent.wait_until_idle(4));
  agent.request_reset();
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV..."));
  EXPECT_EQ(round_trip(file_port, "abc"), "cde");
  EXPECT_TRUE(agent.wait_until_idle(4));
}

}  // namespace
}  // namespace kiv_test
