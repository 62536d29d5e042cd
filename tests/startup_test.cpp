// Start-up from kiv.cnf and shutdown of a real kiv-agentd, with the files
// it finds in its folder.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

// A lower-case kiv is a forwarder like any other; a disabled row gets no
// thread; a port held by another program is reported and its listener ends.
// A stop while a client is connected appends the log to the kiv.log found.
TEST(StartUp, EachEnabledRowGetsItsOwnServiceAndAStopAppendsTheLog) {
  LoopbackServer remote(echo_handler);
  uint16_t held = remote.port();  // a live listener of another program
  uint16_t forwarder = free_port(), disabled = free_port();
  TempFolder folder;
  folder.write("kiv.log", "earlier line\n");
  folder.write("kiv.cnf", config_line("kiv", forwarder, remote.port(), "127.0.0.1", "NONE", 7) +
                              config_line("OFF", disabled, remote.port(), "127.0.0.1", "NONE", 0) +
                              config_line("BUSY", held, remote.port()));
  AgentProcess agent(folder);
  int client = connect_loopback(forwarder);
  EXPECT_EQ((send_bytes(client, "HELP\r\n"), receive(client, 6)), "HELP\r\n");
  ASSERT_TRUE(agent.wait_for_event("BUSY - thread Closed"));
  std::vector<std::string> events = agent.events();
  auto bind_failure = std::find(events.begin(), events.end(), "Can't bind: 98");
  ASSERT_LE(bind_failure + 3, events.end());
  EXPECT_EQ(std::vector<std::string>(bind_failure + 1, bind_failure + 3),
            (std::vector<std::string>{"BUSY Error: Select 10038", "BUSY - thread Closed"}));
  EXPECT_EQ(connect_loopback(disabled, 500), -1);
  for (const std::string& event : events) EXPECT_EQ(event.find("OFF"), std::string::npos) << event;
  agent.signal(SIGINT);
  EXPECT_EQ(agent.wait_exit(10000), 0);
  std::string log = folder.read("kiv.log");
  EXPECT_EQ(log.rfind("earlier line\n", 0), 0u) << log;
  EXPECT_NE(log.find(":  *** KIV Started ***\n"), std::string::npos) << log;
  EXPECT_NE(log.find(": kiv Connected\n"), std::string::npos) << log;
  close(client);
}

// A kiv.cnf that is no regular file is not read, at start or on SIGHUP: a
// FIFO would hold the start (and every stop request) for ever, a link to
// /dev/zero would never end, a folder would read as nothing. A folder named
// kiv.log is a log that exists but cannot be appended to (root, who runs the
// tests, could still write a read-only file): reported, and the agent exits.
TEST(StartUp, FilesThatAreNoRegularFilesCannotBeOpened) {
  const std::pair<const char*, int (*)(const char*)> kinds[] = {
      {"FIFO", [](const char* path) { return mkfifo(path, 0644); }},
      {"link to /dev/zero", [](const char* path) { return symlink("/dev/zero", path); }},
      {"folder", [](const char* path) { return mkdir(path, 0755); }}};
  for (const auto& [kind, make] : kinds) {
    SCOPED_TRACE(kind);
    TempFolder folder;
    ASSERT_EQ(make(folder.file("kiv.cnf").c_str()), 0);
    ASSERT_EQ(mkdir(folder.file("kiv.log").c_str(), 0755), 0);
    AgentProcess agent(folder);
    ASSERT_TRUE(agent.wait_for_event("Cannot open kiv.cnf"));
    agent.signal(SIGHUP);
    EXPECT_TRUE(agent.wait_for_event("Cannot open kiv.cnf", 2));
    EXPECT_EQ(agent.stop(), 0);
    EXPECT_EQ(agent.event_count("Can't open log_file..."), 1);
    EXPECT_EQ(agent.warning_count("Can't open log_file..."), 1);
  }
}

// A standard error that nobody reads (a stuck supervisor, a paused terminal)
// costs the echo lines, never the agent its relays.
TEST(UnreadStandardError, TheAgentRelaysOnAndTellsHowManyLinesItDropped) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t refused = free_port(), served = free_port();
  folder.write("kiv.cnf", config_line("S1", refused, free_port()) + config_line("S2", served, remote.port()));
  AgentProcess agent(folder);
  ASSERT_TRUE(eventually([&] { return port_listening(refused) && port_listening(served); }));
  agent.hold_output(true);
  // Each refused relay echoes four lines, some 200 bytes: 500 overfill a pipe.
  for (int relay = 0; relay < 500; ++relay) {
    int client = connect_loopback(refused);
    set_receive_timeout(client, 5000);
    ASSERT_EQ(receive_to_end(client), 0) << "relay " << relay << " not ended";
    close(client);
  }
  EXPECT_TRUE(echoes(served));
  agent.hold_output(false);
  EXPECT_TRUE(eventually([&] {
    std::vector<std::string> lines = agent.lines();
    return echoes(served) &&
           std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("KIV Echo: ", 0) == 0; });
  }));
  EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
}  // namespace kiv_test
