// Table files that are short, missing or changed while the agent runs, with
// the whole agent in this process so that errors_o can be read.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/agent_process.h"
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
    pair[256 + b] = static_cast<char>((b + step) & 0xFF);
  }
  return pair;
}

// What the client gets back from an echo behind `port` for "abc".
std::string echoed_through(uint16_t port) {
  int client = connect_loopback(port);
  if (client < 0) return "no connection";
  send_bytes(client, "abc");
  shutdown(client, SHUT_WR);
  std::string echoed = receive_until_closed(client);
  close(client);
  return echoed;
}

// A FIFO is no table file: opening it would wait for a writer, and no
// relay of any service may wait on it.
TEST(TableFaults, ShortMissingOrFifoFilesRefuseEveryRelayAndCountInErrorsO) {
  TempFolder folder;
  folder.write("SHORT.ctb", shifting_pair(1).substr(0, 511));
  ASSERT_EQ(mkfifo(folder.file("PIPE.ctb").c_str(), 0644), 0);
  LoopbackServer remote(echo_handler);
  uint16_t short_port = free_port();
  uint16_t missing_port = free_port();
  uint16_t plain_port = free_port();
  uint16_t fifo_port = free_port();
  folder.write("kiv.cnf", config_line("S1", short_port, remote.port(), "127.0.0.1", "SHORT", 1) +
                              config_line("S2", missing_port, remote.port(), "127.0.0.1", "GONE", 1) +
                              config_line("S3", plain_port, remote.port(), "127.0.0.1", "NONE", 1) +
                              config_line("S4", fifo_port, remote.port(), "127.0.0.1", "PIPE", 1));
  InProcessAgent agent(folder);
  for (int attempt = 1; attempt <= 2; ++attempt) {
    EXPECT_EQ(echoed_through(fifo_port), "");
    EXPECT_EQ(echoed_through(short_port), "");
    EXPECT_EQ(echoed_through(missing_port), "");
  }
  ASSERT_TRUE(agent.wait_for_event("S2 - Connection closed(-1)", 2));
  ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", 2));
  ASSERT_TRUE(agent.wait_for_event("S4 - Connection closed(-1)", 2));
  EXPECT_EQ(agent.event_count("Error in file: SHORT.ctb"), 2);
  EXPECT_EQ(agent.event_count("Can't open file: GONE.ctb"), 2);
  EXPECT_EQ(agent.event_count("Can't open file: PIPE.ctb"), 2);
  EXPECT_EQ(agent.row(0).errors_o, 2u);
  EXPECT_EQ(agent.row(1).errors_o, 2u);
  EXPECT_EQ(agent.row(3).errors_o, 2u);
  EXPECT_EQ(agent.row(0).state, kiv::SVC_ERROR);
  EXPECT_EQ(remote.accepted(), 0);
  EXPECT_EQ(echoed_through(plain_port), "abc");
  EXPECT_TRUE(agent.wait_until_idle(4));
}

TEST(TableFaults, FileChangedOnDiskIsTakenOnlyAfterARestart) {
  TempFolder folder;
  folder.write("X.ctb", shifting_pair(1));
  LoopbackServer remote(echo_handler);
  uint16_t port = free_port();
  folder.write("kiv.cnf", config_line("S1", port, remote.port(), "127.0.0.1", "X", 1));
  InProcessAgent agent(folder);
  EXPECT_EQ(echoed_through(port), "bcd");
  folder.write("X.ctb", shifting_pair(2));
  EXPECT_EQ(echoed_through(port), "bcd");
  ASSERT_TRUE(agent.wait_until_idle(1));
  agent.request_reset();
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV..."));
  EXPECT_EQ(echoed_through(port), "cde");
  // Changed to a short file: refused after the next restart, not before.
  folder.write("X.ctb", "short");
  EXPECT_EQ(echoed_through(port), "cde");
  ASSERT_TRUE(agent.wait_until_idle(1));
  agent.request_reset();
  ASSERT_TRUE(agent.wait_for_event("Resetting KIV...", 2));
  EXPECT_EQ(echoed_through(port), "");
  ASSERT_TRUE(agent.wait_for_event("Error in file: X.ctb"));
  EXPECT_EQ(agent.row(0).errors_o, 1u);
  EXPECT_EQ(agent.row(0).errors_t, 0u);
  EXPECT_TRUE(agent.wait_until_idle(1));
}

}  // namespace
}  // namespace kiv_test
