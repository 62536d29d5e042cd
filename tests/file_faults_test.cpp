// Damaged, odd and unwritable files in a real kiv-agentd's folder: kiv.cnf
// as it may be found on disk, and a kiv.log that exists but cannot be
// appended to. The agent says what is wrong and goes on with what it can.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "tests/agent_process.h"
#include "tests/loopback.h"
#include "tests/proc_status.h"

namespace kiv_test {
namespace {

int warnings_of(AgentProcess& agent, const std::string& text) {
  int count = 0;
  for (const std::string& line : agent.lines()) count += line == "KIV Error: " + text;
  return count;
}

bool relays_one_byte(uint16_t port) {
  int client = connect_loopback(port, 2000);
  if (client < 0) return false;
  bool echoed = send_bytes(client, "x") && receive_exactly(client, 1) == "x";
  close(client);
  return echoed;
}

TEST(DamagedConfiguration, EmptyFileServesNothingAndSaysNothing) {
  TempFolder folder;
  folder.write("kiv.cnf", "");
  AgentProcess agent(folder);
  ASSERT_TRUE(agent.wait_for_event(" *** KIV Started ***"));
  EXPECT_EQ(agent.stop(), 0);
  EXPECT_EQ(agent.events(), std::vector<std::string>{" *** KIV Started ***"});
  EXPECT_EQ(agent.lines().size(), 1u);
}

TEST(DamagedConfiguration, BinaryGarbageIsReportedFieldByFieldAndStartsNothing) {
  TempFolder folder;
  // No digit and no sign, so no record can ever be whole: every field that
  // stands where a port should be is a line error, and starts the next record.
  std::string garbage = random_bytes(3000, 7);
  int fields = 0;
  bool in_field = false;
  for (char& byte : garbage) {
    if (isdigit(static_cast<unsigned char>(byte)) || byte == '+' || byte == '-') byte = 'x';
    bool blank = isspace(static_cast<unsigned char>(byte)) != 0;
    fields += !blank && !in_field;
    in_field = !blank;
  }
  folder.write("kiv.cnf", garbage);
  AgentProcess agent(folder);
  ASSERT_TRUE(agent.wait_for_event("kiv.cnf: Error in line 0", fields));
  EXPECT_EQ(agent.stop(), 0);
  EXPECT_EQ(agent.event_count("kiv.cnf: Error in line 0"), fields);
  EXPECT_EQ(warnings_of(agent, "kiv.cnf: Error in line 0"), fields);
  for (const std::string& event : agent.events()) {
    EXPECT_NE(event.rfind("Start new thread", 0), 0u) << event;
  }
}

TEST(DamagedConfiguration, SevenRecordsStartOnlyTheFirstFive) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  std::vector<uint16_t> ports;
  std::string text;
  for (int i = 0; i < 7; ++i) {
    ports.push_back(free_port());
    text += config_line("S" + std::to_string(i), ports.back(), remote.port(), "127.0.0.1", "NONE", 1);
  }
  folder.write("kiv.cnf", text);
  AgentProcess agent(folder);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(relays_one_byte(ports[i])) << "row " << i;
  EXPECT_FALSE(relays_one_byte(ports[5]));
  EXPECT_FALSE(relays_one_byte(ports[6]));
  int started = 0;
  for (const std::string& event : agent.events()) started += event.rfind("Start new thread", 0) == 0;
  EXPECT_EQ(started, 5);
}

TEST(DamagedConfiguration, OverlongFieldsAreCutToTheirCapacity) {
  TempFolder folder;
  uint16_t table_port = free_port();
  uint16_t host_port = free_port();
  std::string host(70, 'h');
  std::string table(40, 't');
  folder.write("kiv.cnf", "MAILER " + std::to_string(table_port) + " 25 127.0.0.1 " + table + " 1\n" +
                              "NEWS " + std::to_string(host_port) + " 119 " + host + " NONE 1\n");
  AgentProcess agent(folder);
  EXPECT_TRUE(agent.wait_for_event("Start new thread: MAILE " + std::to_string(table_port) +
                                   "/127.0.0.1/25"));
  EXPECT_TRUE(agent.wait_for_event("Start new thread: NEWS " + std::to_string(host_port) + "/" +
                                   host.substr(0, 63) + "/119"));
  for (uint16_t port : {table_port, host_port}) {
    int client = connect_loopback(port);
    ASSERT_GE(client, 0);
    EXPECT_EQ(receive_until_closed(client), "");
    close(client);
  }
  EXPECT_TRUE(agent.wait_for_event("Can't open file: " + table.substr(0, 35) + ".ctb"));
  EXPECT_TRUE(agent.wait_for_event("MAILE - Connection closed(-1)"));
  EXPECT_TRUE(agent.wait_for_event("Can't get IP address for " + host.substr(0, 63)));
  EXPECT_TRUE(agent.wait_for_event("NEWS - Connection closed(-1)"));
}

// A kiv.cnf that is no regular file is not read, at start or on SIGHUP: a
// FIFO would hold the start (and every stop request) for ever, a link to
// /dev/zero would never end, a folder would read as nothing.
TEST(DamagedConfiguration, FileThatIsNoRegularFileCannotBeOpened) {
  struct Kind {
    const char* name;
    int (*make)(const char* path);
  };
  const Kind kinds[] = {{"FIFO", [](const char* path) { return mkfifo(path, 0644); }},
                        {"link to /dev/zero", [](const char* path) { return symlink("/dev/zero", path); }},
                        {"folder", [](const char* path) { return mkdir(path, 0755); }}};
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    TempFolder folder;
    ASSERT_EQ(kind.make(folder.file("kiv.cnf").c_str()), 0);
    AgentProcess agent(folder);
    ASSERT_TRUE(agent.wait_for_event("Cannot open kiv.cnf"));
    agent.signal(SIGHUP);
    EXPECT_TRUE(agent.wait_for_event("Cannot open kiv.cnf", 2));
    EXPECT_EQ(agent.stop(), 0);
  }
}

// A folder named kiv.log stands for a log file that exists but cannot be
// appended to (root, who runs the tests, could still write a read-only file).
TEST(UnwritableLogFile, FlushAtShutdownIsReportedAndTheAgentStillCloses) {
  TempFolder folder;
  ASSERT_EQ(mkdir(folder.file("kiv.log").c_str(), 0755), 0);
  AgentProcess agent(folder);
  ASSERT_TRUE(agent.wait_for_event("Cannot open kiv.cnf"));
  EXPECT_EQ(agent.stop(), 0);
  EXPECT_EQ(agent.event_count("Can't open log_file..."), 1);
  EXPECT_EQ(warnings_of(agent, "Can't open log_file..."), 1);
}

TEST(UnwritableLogFile, FullLogThatCannotBeFlushedLeavesEveryServiceWorking) {
  TempFolder folder;
  ASSERT_EQ(mkdir(folder.file("kiv.log").c_str(), 0755), 0);
  LoopbackServer remote(echo_handler);
  uint16_t refused = free_port();
  uint16_t served = free_port();
  folder.write("kiv.cnf", config_line("S1", refused, refused_port(), "127.0.0.1", "NONE", 1) +
                              config_line("S2", served, remote.port(), "127.0.0.1", "NONE", 1));
  AgentProcess agent(folder);
  ASSERT_TRUE(agent.wait_for_event("Start new thread: S2 " + std::to_string(served) + "/127.0.0.1/" +
                                   std::to_string(remote.port())));
  ASSERT_TRUE(eventually([&] { return port_listening(refused) && port_listening(served); }));
  const int idle_threads = thread_total(agent.pid());
  const int idle_descriptors = descriptor_total(agent.pid());
  // Each refused relay logs four lines: 260 of them pass the log's threshold.
  for (int relay = 1; relay <= 260; ++relay) {
    int client = connect_loopback(refused);
    ASSERT_GE(client, 0);
    receive_until_closed(client);
    close(client);
    ASSERT_TRUE(agent.wait_for_event("S1 - Connection closed(-1)", relay));
  }
  // Told once, not again at every line while the log stays full.
  EXPECT_EQ(warnings_of(agent, "Can't open log_file..."), 1);
  EXPECT_TRUE(relays_one_byte(served));
  EXPECT_TRUE(agent.wait_for_event("S2 - Connection closed(0)"));
  EXPECT_TRUE(eventually([&] { return thread_total(agent.pid()) == idle_threads; }));
  EXPECT_TRUE(eventually([&] { return descriptor_total(agent.pid()) == idle_descriptors; }));
  EXPECT_EQ(agent.stop(), 0);
}

// A standard error that nobody reads (a stuck supervisor, a paused terminal)
// costs the echo lines, never the agent its relays.
TEST(UnreadStandardError, TheAgentRelaysOnAndTellsHowManyLinesItDropped) {
  TempFolder folder;
  LoopbackServer remote(echo_handler);
  uint16_t refused = free_port();
  uint16_t served = free_port();
  folder.write("kiv.cnf", config_line("S1", refused, refused_port(), "127.0.0.1", "NONE", 1) +
                              config_line("S2", served, remote.port(), "127.0.0.1", "NONE", 1));
  AgentProcess agent(folder);
  ASSERT_TRUE(eventually([&] { return port_listening(refused) && port_listening(served); }));
  agent.hold_output(true);
  // Each refused relay echoes four lines, some 200 bytes: 500 overfill a pipe.
  for (int relay = 0; relay < 500; ++relay) {
    int client = connect_loopback(refused);
    ASSERT_GE(client, 0);
    set_receive_timeout(client, 5000);
    char end;
    ASSERT_EQ(recv(client, &end, 1, 0), 0) << "relay " << relay << " not ended";
    close(client);
  }
  EXPECT_TRUE(relays_one_byte(served));
  agent.hold_output(false);
  EXPECT_TRUE(eventually([&] {
    std::vector<std::string> lines = agent.lines();
    return relays_one_byte(served) &&
           std::any_of(lines.begin(), lines.end(),
                       [](const std::string& line) { return line.rfind("KIV Echo: ", 0) == 0; });
  }));
  EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
}  // namespace kiv_test
